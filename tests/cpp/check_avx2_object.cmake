# Fails when the AVX2 lane file (models/kernel/lanes/range_avx2.cpp) defines a function with external
# linkage that is not its own. Such a function would be an inline function of a header that other
# files share, compiled there for AVX2: the linker may keep that copy for the whole module, which
# would then stop with an illegal instruction on CPUs without AVX2, and no test on a CPU with AVX2
# would notice. (Local functions, such as a sanitizer's constructors, stay in the file.)
#   cmake -DNM=nm -DLIBRARY=libmirvanta_core.a -P check_avx2_object.cmake
execute_process(COMMAND ${NM} -C --defined-only ${LIBRARY} OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(inside FALSE)
set(found FALSE)
set(strangers "")
foreach(line IN LISTS lines)
  if(line MATCHES "range_avx2\\.cpp\\.o:$")
    set(inside TRUE)
    set(found TRUE)
  elseif(line MATCHES ":$")
    set(inside FALSE)
  elseif(inside AND line MATCHES " [TW] " AND NOT line MATCHES "Avx2|avx2")
    string(APPEND strangers "\n  ${line}")
  endif()
endforeach()
if(NOT found)
  message(FATAL_ERROR "no range_avx2.cpp.o in ${LIBRARY}")
endif()
if(strangers)
  message(FATAL_ERROR "range_avx2.cpp defines functions that are not its own (include their headers before "
                      "the target pragma):${strangers}")
endif()

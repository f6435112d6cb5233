// The Python boundary's own invariants, which no call from Python can break, in an embedded
// interpreter: a function declared to return one float per separation that returns another number
// of them, and a computation stopped with no exception set, are internal failures.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "module/call_frame.hpp"
#include "module/process_cache.hpp"
#include "module/py_ref.hpp"
#include "module/result_list_ahead.hpp"
#include "common/allocation_failure.hpp"
#include "common/panic.hpp"

// The interpreter keeps objects alive until the process ends; they are not this code's leaks.
extern "C" __attribute__((visibility("default"))) int __lsan_is_turned_off() { return 1; }

namespace mirvanta::module {
namespace {

constexpr const char* kParameters[] = {"l"};
constexpr FunctionSignature kSignature{"boundary_test", kParameters};

// The class and str() of the exception that is set, which is cleared; "" when none is.
std::pair<PyObject*, std::string> take_exception() {
    PyRef exc(PyErr_GetRaisedException());
    if (!exc) return {nullptr, ""};
    PyRef text(PyObject_Str(exc.get()));
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    return {reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), utf8 != nullptr ? utf8 : "<no text>"};
}

// Calls `model` through the call frame on one argument, the list [0.5, 1.0, 2.0].
template <class Returns, class Model>
PyObject* call_on_three_separations(Model model) {
    PyRef list(Py_BuildValue("[ddd]", 0.5, 1.0, 2.0));
    PyObject* args[] = {list.get()};
    return call_frame<Returns, AsFloatSequence>(kSignature, args, 1, nullptr, model);
}

TEST(ModelErrors, AnIndexIsWrittenIntoTheMessage) {
    using models::DeferredError;
    EXPECT_EQ(deferred_error_text(DeferredError::value_error("bl: the radius at index {index} is out of order", 12)),
              "bl: the radius at index 12 is out of order");
    EXPECT_EQ(deferred_error_text(DeferredError::value_error("no index here")), "no index here");
    EXPECT_EQ(deferred_error_text(DeferredError::value_error("a mark missing", 3)), "a mark missing (index 3)");
    EXPECT_EQ(deferred_error_text(DeferredError::from(numerics::EllipticError{"ellipk: Arguments cannot be NAN."})),
              "ellipk: Arguments cannot be NAN.");
}

TEST(ModelErrors, AreRaisedAsTheirKindFromEitherKindOfResult) {
    // One float per separation, or a model error before any is computed.
    const auto refusing = [](std::vector<double>) -> models::ModelResult<std::vector<double>> {
        return models::DeferredError::value_error("bf: the value at index {index} is negative", 4);
    };
    EXPECT_FALSE(PyRef(call_on_three_separations<AsFloatPerSeparation>(refusing)));
    auto [type, text] = take_exception();
    EXPECT_EQ(type, PyExc_ValueError);
    EXPECT_EQ(text, "bf: the value at index 4 is negative");
    PyRef list(call_on_three_separations<AsFloatPerSeparation>(
        [](std::vector<double> l) -> models::ModelResult<std::vector<double>> { return l; }));
    ASSERT_TRUE(list) << take_exception().second;
    EXPECT_EQ(PyList_GET_SIZE(list.get()), 3);
    // A RuntimeError, through a result converted as it is.
    EXPECT_FALSE(PyRef(call_on_three_separations<AsPythonObject>([](std::vector<double>) -> models::ModelResult<double> {
        return models::DeferredError::from(numerics::EllipticError{"ellippi: n cannot be 1."});
    })));
    std::tie(type, text) = take_exception();
    EXPECT_EQ(type, PyExc_RuntimeError);
    EXPECT_EQ(text, "ellippi: n cannot be 1.");
}

// An allocation that fails in the computation: MemoryError with the function's name, and the
// size asked for when the failure knows it.
TEST(MemoryErrors, SayTheFunctionAndWhatCouldNotBeHad) {
    EXPECT_FALSE(PyRef(call_on_three_separations<AsFloatPerSeparation>(
        [](std::vector<double>) -> std::vector<double> { throw std::bad_alloc(); })));
    auto [type, text] = take_exception();
    EXPECT_EQ(type, PyExc_MemoryError);
    EXPECT_EQ(text, "boundary_test: out of memory: an allocation of the computation failed");
    EXPECT_FALSE(PyRef(call_on_three_separations<AsPythonObject>([](std::vector<double>) -> models::MagnificationGrid {
        throw AllocationFailure("the result grid", 4e9, 8.0);
    })));
    std::tie(type, text) = take_exception();
    EXPECT_EQ(type, PyExc_MemoryError);
    EXPECT_EQ(text, "boundary_test: cannot allocate the result grid, 4000000000 values (32.0 GB)");
    EXPECT_EQ(size_text(999.0), "999 bytes");
    EXPECT_EQ(size_text(1.5e3), "1.5 kB");
    EXPECT_EQ(size_text(999.96e6), "1.0 GB");  // rounded up to the next unit, not "1000.0 MB"
    EXPECT_EQ(size_text(8e10), "80.0 GB");
}

class ResultLength : public ::testing::TestWithParam<int> {};

TEST_P(ResultLength, OtherThanOnePerSeparationIsAnInternalFailure) {
    const int extra = GetParam();
    PyRef result(call_on_three_separations<AsFloatPerSeparation>([extra](std::vector<double> l) {
        l.resize(l.size() + extra, 1.0);
        return l;
    }));
    if (extra == 0) {
        ASSERT_TRUE(result) << take_exception().second;
        EXPECT_EQ(PyList_GET_SIZE(result.get()), 3);
        return;
    }
    EXPECT_FALSE(result);
    const auto [type, text] = take_exception();
    EXPECT_EQ(type, panic_exception());
    EXPECT_EQ(text, "a result of " + std::to_string(3 + extra) + " values for a list of 3 separations");
}

INSTANTIATE_TEST_SUITE_P(Boundary, ResultLength, ::testing::Values(-3, -1, 0, 1));

TEST(ListMadeAhead, ValuesOtherThanTheListMadeAheadAreAnInternalFailure) {
    ResultListAhead list(3);
    while (list.advance()) {
    }
    EXPECT_THROW(PyRef(list.finish(std::vector<double>{1.0, 2.0})), Panic);
    PyRef made(list.finish(std::vector<double>{1.0, 2.0, 3.0}));
    ASSERT_TRUE(made);
    EXPECT_EQ(PyFloat_AsDouble(PyList_GET_ITEM(made.get(), 2)), 3.0);
}

TEST(Interrupted, LeavesTheStoppingExceptionOrIsAnInternalFailure) {
    // A signal handler's exception is what the call raises.
    PyRef stopped(call_on_three_separations<AsPythonObject>([](std::vector<double>) -> std::vector<double> {
        PyErr_SetString(PyExc_KeyboardInterrupt, "from the handler");
        throw Interrupted{};
    }));
    EXPECT_FALSE(stopped);
    auto [type, text] = take_exception();
    EXPECT_EQ(type, PyExc_KeyboardInterrupt);
    EXPECT_EQ(text, "from the handler");

    // Stopped with none set: PanicException, never a null return without an exception.
    PyRef unexplained(call_on_three_separations<AsPythonObject>([](std::vector<double>) -> std::vector<double> {
        throw Interrupted{};
    }));
    EXPECT_FALSE(unexplained);
    std::tie(type, text) = take_exception();
    EXPECT_EQ(type, panic_exception());
    EXPECT_EQ(text, "a computation was interrupted, but no Python exception is set to say why");
}

}  // namespace
}  // namespace mirvanta::module

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    PyConfig config;
    PyConfig_InitIsolatedConfig(&config);
    const PyStatus status = Py_InitializeFromConfig(&config);
    PyConfig_Clear(&config);
    if (PyStatus_Exception(status)) Py_ExitStatusException(status);
    const int failed = RUN_ALL_TESTS();
    return Py_FinalizeEx() < 0 ? 120 : failed;
}

// The Python boundary's own invariants, which no call from Python can break, in an embedded
// interpreter: a function declared to return one float per separation that returns another number
// of them, and a computation stopped with no exception set, are internal failures.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "module/call_frame.hpp"
#include "module/conversion.hpp"
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

TEST(ListMadeAhead, StopsMakingAheadWhenItsTimeIsSpentAndMakesTheRestAfter) {
    // A stopped call releases what was made ahead before it returns: no more than its time made.
    // With a nanosecond, one slice is made (the time is looked at after each), and no more.
    const std::size_t size = 100000;
    ResultListAhead list(size, std::chrono::nanoseconds(1));
    EXPECT_FALSE(list.advance());
    const std::size_t slice = list.made();
    EXPECT_GT(slice, 0u);
    EXPECT_LT(slice, size);
    EXPECT_FALSE(list.advance());
    EXPECT_EQ(list.made(), slice);
    std::vector<double> values(size);
    for (std::size_t i = 0; i < size; ++i) values[i] = 0.5 * static_cast<double>(i);
    PyRef made(list.finish(values));
    ASSERT_TRUE(made) << take_exception().second;
    ASSERT_EQ(PyList_GET_SIZE(made.get()), static_cast<Py_ssize_t>(size));
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < size; ++i) {
        PyObject* item = PyList_GET_ITEM(made.get(), static_cast<Py_ssize_t>(i));
        if (!PyFloat_CheckExact(item) || Py_REFCNT(item) != 1 || PyFloat_AS_DOUBLE(item) != values[i]) ++wrong;
    }
    EXPECT_EQ(wrong, 0u);
    EXPECT_TRUE(PyObject_GC_IsTracked(made.get()));
    // With time enough, the whole list.
    ResultListAhead whole(size, std::chrono::seconds(100));
    while (whole.advance()) {
    }
    EXPECT_EQ(whole.made(), size);
}

// Records, at each question, how many doubles a conversion has read so far; says stop at its
// `stop_at`-th question (never when 0).
class ConversionProgress final : public CallerHook {
public:
    ConversionProgress(const std::vector<double>& read, std::size_t stop_at) : read_(read), stop_at_(stop_at) {}
    bool stop_requested() override {
        at_question.push_back(read_.size());
        return at_question.size() == stop_at_;
    }
    std::vector<std::size_t> at_question;

private:
    const std::vector<double>& read_;
    std::size_t stop_at_;
};

struct LongSequence {
    const char* name;
    const char* expression;  // of `n`, the number of items
    std::size_t most_between_questions;
};

void PrintTo(const LongSequence& sequence, std::ostream* out) { *out << sequence.name; }

class Conversion : public ::testing::TestWithParam<LongSequence> {
protected:
    // The sequence of GetParam() with n items, made by Python.
    static PyRef make(std::size_t n) {
        PyRef globals(PyDict_New());
        PyRef builtins(PyImport_ImportModule("builtins"));
        PyRef count(PyLong_FromSize_t(n));
        if (!globals || !builtins || !count || PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0 ||
            PyDict_SetItemString(globals.get(), "n", count.get()) < 0) {
            return PyRef();
        }
        return PyRef(PyRun_String(GetParam().expression, Py_eval_input, globals.get(), globals.get()));
    }
};

TEST_P(Conversion, AsksTheHookEveryFewThousandItems) {
    constexpr std::size_t n = 100000;
    PyRef sequence(make(n));
    ASSERT_TRUE(sequence) << take_exception().second;
    std::vector<double> out;
    ConversionProgress progress(out, 0);
    {
        const ScopedCallerHook installed(progress);
        ASSERT_TRUE(to_float_sequence(sequence.get(), out)) << take_exception().second;
    }
    ASSERT_EQ(out.size(), n);
    ASSERT_FALSE(progress.at_question.empty());
    const std::size_t most = GetParam().most_between_questions;
    std::size_t before = 0;
    for (const std::size_t read : progress.at_question) {
        EXPECT_LE(read - before, most) << "items read between two questions";
        before = read;
    }
    EXPECT_LE(n - before, most) << "items read after the last question";
    EXPECT_EQ(out[n - 1], static_cast<double>(n - 1));
}

TEST_P(Conversion, StopsWhenTheHookSaysSo) {
    constexpr std::size_t n = 300000;
    PyRef sequence(make(n));
    ASSERT_TRUE(sequence) << take_exception().second;
    std::vector<double> out;
    ConversionProgress progress(out, 2);
    const ScopedCallerHook installed(progress);
    EXPECT_THROW(to_float_sequence(sequence.get(), out), Interrupted);
    EXPECT_EQ(progress.at_question.size(), 2u);  // not asked again once it said stop
    EXPECT_LT(out.size(), n);
}

INSTANTIATE_TEST_SUITE_P(
    Boundary, Conversion,
    ::testing::Values(LongSequence{"list", "[float(i) for i in range(n)]", 4096},
                      LongSequence{"tuple", "tuple(float(i) for i in range(n))", 4096},
                      LongSequence{"ints_by_iteration", "range(n)", 4096},
                      LongSequence{"buffer", "__import__('array').array('d', range(n))", 65536}),
    [](const ::testing::TestParamInfo<LongSequence>& info) { return info.param.name; });

// Trips Python's SIGINT handler, as a signal arriving would: the next check of signals raises
// KeyboardInterrupt.
void interrupt_pending() {
    ASSERT_EQ(PyRun_SimpleString("import signal; signal.signal(signal.SIGINT, signal.default_int_handler)"), 0);
    ASSERT_EQ(PyErr_SetInterruptEx(SIGINT), 0);
}

TEST(CallFrame, ASignalStopsTheConversionOfALongList) {
    // The list's last item does not convert: KeyboardInterrupt shows that the conversion stopped
    // before it (without a question it would end in TypeError).
    PyRef list(PyRun_String("[0.5] * 100000 + ['not a number']", Py_eval_input, PyEval_GetBuiltins(),
                            PyEval_GetBuiltins()));
    ASSERT_TRUE(list) << take_exception().second;
    bool computed = false;
    interrupt_pending();
    PyObject* args[] = {list.get()};
    PyRef result(call_frame<AsPythonObject, AsFloatSequence>(kSignature, args, 1, nullptr, [&](std::vector<double> l) {
        computed = true;
        return l;
    }));
    EXPECT_FALSE(result);
    EXPECT_EQ(take_exception().first, PyExc_KeyboardInterrupt);
    EXPECT_FALSE(computed);
}

class ResultListStop : public ::testing::TestWithParam<bool> {};

TEST_P(ResultListStop, ASignalStopsTheMakingOfALongResultList) {
    // The computation ends with a signal pending (no map asked after it); the list of its 100,000
    // results asks, and the call raises KeyboardInterrupt instead of returning it.
    PyRef list(PyRun_String("[0.5] * 100000", Py_eval_input, PyEval_GetBuiltins(), PyEval_GetBuiltins()));
    ASSERT_TRUE(list) << take_exception().second;
    PyObject* args[] = {list.get()};
    const auto model = [](std::vector<double> l) {
        interrupt_pending();
        return l;
    };
    PyRef result(GetParam() ? call_frame<AsFloatPerSeparation, AsFloatSequence>(kSignature, args, 1, nullptr, model)
                            : call_frame<AsPythonObject, AsFloatSequence>(kSignature, args, 1, nullptr, model));
    EXPECT_FALSE(result);
    EXPECT_EQ(take_exception().first, PyExc_KeyboardInterrupt);
}

INSTANTIATE_TEST_SUITE_P(Boundary, ResultListStop, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
    return info.param ? "one_float_per_separation" : "converted_as_it_is";
});

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

// What the module takes as a real number. Every argument ends as doubles; a value that is not a
// real number, but that float() or numpy.asarray(..., dtype=float) would turn into one by dropping
// or reinterpreting something, is refused with TypeError, as NumPy's own real-only functions
// refuse it:
//
// - complex numbers of NumPy, scalars and arrays, whatever their imaginary part (float() keeps
//   the real part with no more than a ComplexWarning; Python's complex is refused by float());
// - datetime64 and timedelta64, which would become counts in their own unit;
// - NumPy's str, bytes and void values (str and bytes would be parsed as numbers);
// - the str, bytes, bytearray and complex items of an object array, which NumPy's cast to float
//   parses or refuses as float() does;
// - masked arrays (numpy.ma.MaskedArray and its subclasses, numpy.ma.masked too): the computation
//   would drop the mask.
//
// Python's int, bool and float, fractions, decimals, anything else that float() takes, and
// NumPy's bool, integer and floating types of every width are real numbers, converted exactly as
// before. Nothing here imports NumPy: an object is asked for its dtype only when it has one.
#pragma once

#include "module/compat.hpp"

namespace mirvanta::module {

// What an object's dtype says of its values.
enum class DtypeKind {
    none,     // no dtype (a Python number, a list, ...): the caller converts as it would
    real,     // bool, integer or floating: real numbers
    objects,  // Python objects, to be checked one by one
    refused,  // not real numbers (or a masked array): TypeError set
    failed,   // reading the dtype raised: that exception is set
};

// The kind of `object`'s values, by its dtype; refused with TypeError "<expected>, not complex
// (dtype complex128)" (and a hint for dates and times) for values that are not real numbers,
// and for a masked array, whose text names `parameter` when it is not null.
DtypeKind dtype_kind(PyObject* object, const char* expected, const char* parameter);

// One value that float() is about to convert, when it is neither a float nor an int: false with
// TypeError set when it is not a real number ("must be real number, not complex (dtype
// complex128)"), or a masked value; a 0-d object array's item is checked as an item.
bool check_real_value(PyObject* object, const char* parameter);

// An item of an object array: as check_real_value, and also refuses str, bytes, bytearray and
// complex, which NumPy's cast to float would parse or refuse in its own words. None passes
// (NumPy's cast makes it NaN).
bool check_real_item(PyObject* item, const char* parameter);

// Every item of `array`, an object ndarray, by check_real_item. False with the exception set.
bool check_object_items(PyObject* array, const char* parameter);

// A memoryview of the bytes of a bytes or bytearray object (as bytes, 'B', 'b' or 'c'): the array
// functions refuse it as they refuse bytes. TypeError set and true when it is one.
bool refuse_bytes_buffer(PyObject* object, const char* expected);

}  // namespace mirvanta::module

#include "python/conversion.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "common/propagate.hpp"
#include "python/py_ref.hpp"
#include "transport/frame_header.hpp"

namespace quelt::py {
namespace {

std::string type_name(PyObject* object) {
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
    const char* text = name ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return "object";
    }
    return text;
}

quelt::unexpected<Error> argument_type_error(const char* name, const std::string& message) {
    return fail(ErrorKind::Type, std::string("argument '") + name + "': " + message);
}

quelt::unexpected<Error> cannot_convert(PyObject* object, const char* name, const char* target) {
    return argument_type_error(name, "'" + type_name(object) + "' object cannot be converted to '" + target + "'");
}

// The pending interpreter error as a failure: a plain TypeError gets the
// argument prefix, anything else stays as the interpreter raised it.
quelt::unexpected<Error> pending_for(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return pending();
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyRef owned_type = PyRef::steal(type), owned_value = PyRef::steal(value), owned_tb = PyRef::steal(traceback);
    if (type != PyExc_TypeError) {
        PyErr_Restore(owned_type.release(), owned_value.release(), owned_tb.release());
        return pending();
    }
    PyRef text = PyRef::steal(value ? PyObject_Str(value) : PyUnicode_FromString(""));
    const char* message = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
    if (message == nullptr) return pending();
    return argument_type_error(name, message);
}

quelt::unexpected<Error> out_of_range() {
    return fail(ErrorKind::Overflow, "out of range integral type conversion attempted");
}

// Every integer parameter is read through __index__ as a 64-bit value (C long
// is 32 bits on some platforms), and every value outside the target's range,
// of any magnitude, gets the same overflow text.
Result<std::int64_t> to_i64(PyObject* object, const char* name) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow != 0) return out_of_range();
    if (value == -1 && PyErr_Occurred()) return pending_for(name);
    return static_cast<std::int64_t>(value);
}

template <class Unsigned>
Result<Unsigned> to_narrow_unsigned(PyObject* object, const char* name) {
    QUELT_TRY(value, to_i64(object, name));
    if (*value < 0 || static_cast<std::uint64_t>(*value) > std::numeric_limits<Unsigned>::max())
        return out_of_range();
    return static_cast<Unsigned>(*value);
}

// A request frame carries less than 4 GiB and each element takes
// sizeof(Element) bytes in it, so a longer sequence could never be sent: it is
// refused from its length alone, before anything is read or allocated.
template <class Element>
constexpr Py_ssize_t kMaxItems = static_cast<Py_ssize_t>(wire::kMaxFrameBody / sizeof(Element));

// A length reported by the caller's object is a hint only: no more than this
// is reserved up front; the vector grows as the items really arrive.
constexpr Py_ssize_t kMaxReserve = 1 << 16;

template <class Element>
quelt::unexpected<Error> too_long(const char* name) {
    return fail(ErrorKind::Memory, std::string("argument '") + name + "': a sequence of more than " +
                                                std::to_string(kMaxItems<Element>) + " items cannot be sent");
}

quelt::unexpected<Error> fewer_items(const char* name, size_t held, Py_ssize_t reported) {
    return fail(ErrorKind::Value, std::string("argument '") + name + "': the sequence holds " +
                                               std::to_string(held) + " items, not the " + std::to_string(reported) +
                                               " its len() reports");
}

bool is_sequence(PyObject* object) {
    if (PyList_Check(object) || PyTuple_Check(object)) return true;
    // Kept for the life of the process, like the types themselves.
    static PyObject* sequence_abc = [] {
        PyRef abc = PyRef::steal(PyImport_ImportModule("collections.abc"));
        return abc ? PyObject_GetAttrString(abc.get(), "Sequence") : nullptr;
    }();
    if (sequence_abc == nullptr) {
        PyErr_Clear();
        return PySequence_Check(object) == 1;
    }
    int answer = PyObject_IsInstance(object, sequence_abc);
    if (answer < 0) PyErr_Clear();
    return answer == 1;
}

template <class Element>
using Converter = Result<Element> (*)(PyObject*, const char*);

// A plain list or tuple is read by index: no iterator object, and its length is
// its real size. The length is read again before each element, as a list
// iterator does, because converting an element may run code that changes the list.
template <class Element>
Result<std::vector<Element>> indexed_vector(PyObject* sequence, const char* name, Converter<Element> convert) {
    const bool list = PyList_CheckExact(sequence);
    auto length = [&] { return list ? PyList_Size(sequence) : PyTuple_Size(sequence); };
    if (length() > kMaxItems<Element>) return too_long<Element>(name);
    std::vector<Element> elements;
    elements.reserve(static_cast<size_t>(length()));
    for (Py_ssize_t i = 0; i < length(); ++i) {
        if (i == kMaxItems<Element>) return too_long<Element>(name);
        // Owned for the conversion: the list may drop its own reference meanwhile.
        PyRef item = PyRef::borrow(list ? PyList_GetItem(sequence, i) : PyTuple_GetItem(sequence, i));
        QUELT_TRY(element, convert(item.get(), name));
        elements.push_back(*element);
    }
    return elements;
}

// Any other sequence is iterated, as far as it goes (its __iter__ may yield
// more than its len()). Its len() only sizes the first reservation, and one
// that promises more items than the sequence yields is an error.
template <class Element>
Result<std::vector<Element>> iterated_vector(PyObject* sequence, const char* name, Converter<Element> convert) {
    const Py_ssize_t reported = PySequence_Size(sequence);
    if (reported < 0) {
        // A TypeError says the object cannot tell its length; anything else
        // (Ctrl+C, say) is the caller's to see.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return pending_for(name);
        PyErr_Clear();
    }
    if (reported > kMaxItems<Element>) return too_long<Element>(name);
    std::vector<Element> elements;
    elements.reserve(static_cast<size_t>(std::clamp<Py_ssize_t>(reported, 0, kMaxReserve)));
    PyRef iterator = PyRef::steal(PyObject_GetIter(sequence));
    if (!iterator) return pending_for(name);
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        if (elements.size() == static_cast<size_t>(kMaxItems<Element>)) return too_long<Element>(name);
        QUELT_TRY(element, convert(item.get(), name));
        elements.push_back(*element);
    }
    if (PyErr_Occurred()) return pending_for(name);
    if (elements.size() < static_cast<size_t>(std::max<Py_ssize_t>(reported, 0)))
        return fewer_items(name, elements.size(), reported);
    return elements;
}

// Walks a sequence argument element by element, refusing str as a whole.
template <class Element>
Result<std::vector<Element>> to_vector(PyObject* object, const char* name, Converter<Element> convert) {
    if (PyUnicode_Check(object)) return argument_type_error(name, "Can't extract `str` to `Vec`");
    if (!is_sequence(object)) return cannot_convert(object, name, "Sequence");
    // Exact types only: a subclass may define its own __len__ and __iter__.
    if (PyList_CheckExact(object) || PyTuple_CheckExact(object)) return indexed_vector(object, name, convert);
    return iterated_vector(object, name, convert);
}

Result<std::uint8_t> to_u8(PyObject* object, const char* name) {
    return to_narrow_unsigned<std::uint8_t>(object, name);
}

// True when a buffer's items are, or contain, pointers to Python objects: the
// code 'O' anywhere outside a field name (":name:" in a structured format).
bool holds_python_objects(const char* format) {
    if (format == nullptr) return false;  // plain unsigned bytes
    bool in_name = false;
    for (const char* c = format; *c != '\0'; ++c) {
        if (*c == ':') in_name = !in_name;
        else if (!in_name && *c == 'O') return true;
    }
    return false;
}

Result<TensorArgument> to_tensor_tuple(PyObject* value, const char* name) {
    if (!PyTuple_Check(value)) return cannot_convert(value, name, "PyTuple");
    Py_ssize_t length = PyTuple_Size(value);
    if (length != 3)
        return fail(ErrorKind::Value,
                    "expected tuple of length 3, but got tuple of length " + std::to_string(length));
    QUELT_TRY(shape, to_shape(PyTuple_GetItem(value, 0), name));
    QUELT_TRY(dtype, to_string(PyTuple_GetItem(value, 1), name));
    QUELT_TRY(data, DataArgument::from(PyTuple_GetItem(value, 2), name));
    return TensorArgument{std::move(*shape), std::move(*dtype), std::move(*data)};
}

}  // namespace

DataArgument::DataArgument(DataArgument&& other) noexcept
    : has_view_(std::exchange(other.has_view_, false)), view_(other.view_), owned_(std::move(other.owned_)) {}

DataArgument& DataArgument::operator=(DataArgument&& other) noexcept {
    if (this != &other) {
        release();
        has_view_ = std::exchange(other.has_view_, false);
        view_ = other.view_;
        owned_ = std::move(other.owned_);
    }
    return *this;
}

DataArgument::~DataArgument() { release(); }

void DataArgument::release() noexcept {
    if (has_view_) PyBuffer_Release(&view_);
    has_view_ = false;
}

Result<DataArgument> DataArgument::from(PyObject* object, const char* name) {
    DataArgument data;
    // A contiguous buffer (bytes, bytearray, memoryview, NumPy array) is read
    // as its raw bytes; everything else follows the element-by-element rule.
    if (!PyUnicode_Check(object) && PyObject_CheckBuffer(object)) {
        if (PyObject_GetBuffer(object, &data.view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0) {
            data.has_view_ = true;
            // The raw bytes of object pointers are heap addresses, not data.
            if (holds_python_objects(data.view_.format))
                return argument_type_error(name, "a buffer of Python objects (format 'O') cannot be sent as bytes");
            return data;
        }
        PyErr_Clear();
    }
    QUELT_TRY(elements, to_vector<std::uint8_t>(object, name, to_u8));
    data.owned_ = std::move(*elements);
    return data;
}

std::span<const std::uint8_t> DataArgument::bytes() const {
    if (has_view_)
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<size_t>(view_.len)};
    return owned_;
}

Result<std::uint32_t> to_u32(PyObject* object, const char* name) {
    return to_narrow_unsigned<std::uint32_t>(object, name);
}

Result<std::uint16_t> to_u16(PyObject* object, const char* name) {
    return to_narrow_unsigned<std::uint16_t>(object, name);
}

Result<std::uint64_t> to_u64(PyObject* object, const char* name) {
    PyRef index = PyRef::steal(PyNumber_Index(object));
    if (!index) return pending_for(name);
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (overflow < 0 || (overflow == 0 && value < 0)) return out_of_range();
    if (overflow == 0) return static_cast<std::uint64_t>(value);
    // Above 2**63 - 1: the unsigned read decides whether it still fits.
    const unsigned long long large = PyLong_AsUnsignedLongLong(index.get());
    if (large == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        return out_of_range();
    }
    return static_cast<std::uint64_t>(large);
}

Result<std::vector<std::int64_t>> to_shape(PyObject* object, const char* name) {
    return to_vector<std::int64_t>(object, name, to_i64);
}

Result<std::string> to_string(PyObject* object, const char* name) {
    if (!PyUnicode_Check(object)) return cannot_convert(object, name, "PyString");
    Py_ssize_t length = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &length);
    if (text == nullptr) return pending();  // lone surrogates cannot become UTF-8
    return std::string(text, static_cast<size_t>(length));
}

Result<std::optional<std::string>> to_optional_string(PyObject* object, const char* name) {
    if (object == nullptr || object == Py_None) return std::optional<std::string>{};
    QUELT_TRY(text, to_string(object, name));
    return std::optional<std::string>(std::move(*text));
}

Result<std::optional<std::uint16_t>> to_optional_u16(PyObject* object, const char* name) {
    if (object == nullptr || object == Py_None) return std::optional<std::uint16_t>{};
    QUELT_TRY(value, to_u16(object, name));
    return std::optional<std::uint16_t>(*value);
}

Result<std::vector<NamedTensorArgument>> to_additional_inputs(PyObject* object, const char* name) {
    std::vector<NamedTensorArgument> inputs;
    if (object == nullptr || object == Py_None) return inputs;
    if (!PyDict_Check(object)) return cannot_convert(object, name, "PyDict");
    // The entries are read from a snapshot that only this function sees: the
    // conversions below run caller code that may change or empty the dict.
    PyRef entries = PyRef::steal(PyDict_Items(object));
    if (!entries) return pending();
    const Py_ssize_t count = PyList_Size(entries.get());
    inputs.reserve(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* entry = PyList_GetItem(entries.get(), i);
        QUELT_TRY(input_name, to_string(PyTuple_GetItem(entry, 0), name));
        QUELT_TRY(tensor, to_tensor_tuple(PyTuple_GetItem(entry, 1), name));
        inputs.push_back({std::move(*input_name), std::move(*tensor)});
    }
    return inputs;
}

PyObject* lenient_str(std::string_view bytes) {
    return PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace");
}


}  // namespace quelt::py

#pragma once
// Python arguments to native values. A TypeError is prefixed with
// "argument 'NAME': "; other failures keep their own text.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "python/failure.hpp"
#include "transport/dtype.hpp"

namespace quelt::py {

// The bytes of a `data` argument: a view of a C-contiguous buffer (no copy),
// or the elements of a sequence gathered one by one.
class DataArgument {
public:
    DataArgument() = default;
    DataArgument(DataArgument&& other) noexcept;
    DataArgument& operator=(DataArgument&& other) noexcept;
    DataArgument(const DataArgument&) = delete;
    DataArgument& operator=(const DataArgument&) = delete;
    ~DataArgument();

    static Result<DataArgument> from(PyObject* object, const char* name);
    std::span<const std::uint8_t> bytes() const;
    size_t size() const { return bytes().size(); }

private:
    void release() noexcept;
    bool has_view_ = false;
    Py_buffer view_{};
    std::vector<std::uint8_t> owned_;
};

struct TensorArgument {
    std::vector<std::int64_t> shape;
    std::string dtype;
    DataArgument data;
};

struct NamedTensorArgument {
    std::string name;
    TensorArgument tensor;
};

Result<std::uint32_t> to_u32(PyObject* object, const char* name);
Result<std::uint16_t> to_u16(PyObject* object, const char* name);
Result<std::uint64_t> to_u64(PyObject* object, const char* name);
Result<std::vector<std::int64_t>> to_shape(PyObject* object, const char* name);
Result<std::string> to_string(PyObject* object, const char* name);
// nullptr (not given) and None are both absent.
Result<std::optional<std::string>> to_optional_string(PyObject* object, const char* name);
Result<std::optional<std::uint16_t>> to_optional_u16(PyObject* object, const char* name);
// None or absent gives an empty list; entries keep the dict's order.
Result<std::vector<NamedTensorArgument>> to_additional_inputs(PyObject* object, const char* name);

// Text from the server or the region as a str, invalid UTF-8 replaced by U+FFFD.
PyObject* lenient_str(std::string_view bytes);

}  // namespace quelt::py

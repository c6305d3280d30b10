#pragma once
// The ways model serving can fail, each with its fixed display text. On the
// wire a failure only ever travels as that text; the client itself raises just
// InvalidInput (an unrecognised data-type name).
#include <cstdint>
#include <memory>
#include <string>

namespace quelt {

// Anything that can describe itself and may be attached as a cause.
class ErrorCause {
public:
    virtual ~ErrorCause() = default;
    virtual std::string display() const = 0;
};

class TextCause final : public ErrorCause {
public:
    explicit TextCause(std::string text) : text_(std::move(text)) {}
    std::string display() const override { return text_; }

private:
    std::string text_;
};

struct InferenceError {
    enum class Kind : std::uint8_t {
        Backend = 0,
        InvalidInput = 1,
        ModelNotLoaded = 2,
        Overloaded = 3,
        ModelLoad = 4,
        Inference = 5,
        Timeout = 6,
        ResourceExhausted = 7,
        Cancelled = 8,
    };

    Kind kind;
    // The message; for ModelLoad the model's name. Unused by ModelNotLoaded.
    std::string message;
    // Carried by every kind that has one; shown only by ModelLoad.
    std::shared_ptr<const ErrorCause> cause;

    static InferenceError invalid_input(std::string message) { return {Kind::InvalidInput, std::move(message), {}}; }
    static InferenceError model_load(std::string model, std::shared_ptr<const ErrorCause> cause) {
        return {Kind::ModelLoad, std::move(model), std::move(cause)};
    }

    std::string display() const;
};

}  // namespace quelt

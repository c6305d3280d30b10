#include "transport/inference_error.hpp"

namespace quelt {

std::string InferenceError::display() const {
    switch (kind) {
        case Kind::Backend: return "Backend error: " + message;
        case Kind::InvalidInput: return "Invalid input: " + message;
        case Kind::ModelNotLoaded: return "Model not loaded";
        case Kind::Overloaded: return "System overloaded: " + message;
        case Kind::ModelLoad: return "Model load error for " + message + ": " + (cause ? cause->display() : std::string());
        case Kind::Inference: return "Inference error: " + message;
        case Kind::Timeout: return "Timeout: " + message;
        case Kind::ResourceExhausted: return "Resource exhausted: " + message;
        case Kind::Cancelled: return "Cancelled: " + message;
    }
    return message;
}

}  // namespace quelt

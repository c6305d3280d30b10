#pragma once
// How the shared first steps of a shared-memory request fail in Python: a bad
// argument (data type, too many dimensions) is a ValueError, anything else a
// RuntimeError with the same text.
#include "python/failure.hpp"
#include "shm/input_staging.hpp"

namespace quelt::py {

inline Failure staging_failure(shm::StagingFailure failure) {
    using Kind = shm::StagingFailure::Kind;
    const bool bad_argument = failure.kind == Kind::UnsupportedDType || failure.kind == Kind::TooManyDimensions;
    return {bad_argument ? ExceptionKind::ValueError : ExceptionKind::RuntimeError, std::move(failure.message), 0};
}

}  // namespace quelt::py

#pragma once
// The one way a failure is handed up: QUELT_TRY(name, expression) declares
// `name` as the expected value of `expression` and returns its error from the
// enclosing function when it holds one. The failure is moved, never copied,
// and marked as the unlikely branch; the success path is the plain test it
// replaces. (A coroutine hands its failures up with co_return, written out.)
#include <utility>

#include "common/expected.hpp"

#define QUELT_TRY(name, expression)   \
    auto name = (expression);         \
    if (!name) [[unlikely]]           \
        return quelt::unexpected(std::move(name).error())

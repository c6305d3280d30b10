#pragma once
// The thread type of the Windows build (see runtime/native_thread.hpp): the
// thread's HANDLE, named here without <windows.h>.
namespace quelt::runtime {

using NativeThread = void*;

}  // namespace quelt::runtime

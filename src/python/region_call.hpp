#pragma once
// The infer call of a region client, the same for QueltShmClient and
// QueltHybridClient: bind and convert the arguments, borrow the object,
// refuse a child made by fork(), stage the input tensor in a leased pool
// slot, post the request and await the answer, copy the output tensor out of
// the region, release the slot. Only the post-and-await step differs: the
// region's own queues, or a control connection to the server. The
// interpreter lock stays held throughout.
//
// The step is a function object called as
//     Result<std::uint64_t> step(RegionClient& client, std::uint64_t request_id, const shm::SlotLease& input)
// which posts the request for the staged input and returns the offset of the
// output tensor block the server answered with. A step may also offer
//     Result<void> check_reachable(const RegionClient& client)
// which runs before the input is staged.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/propagate.hpp"
#include "python/arguments.hpp"
#include "python/conversion.hpp"
#include "python/native_object.hpp"
#include "python/py_ref.hpp"
#include "python/region_client.hpp"
#include "python/result_bytes.hpp"
#include "shm/input_staging.hpp"
#include "shm/tensor_block.hpp"

namespace quelt::py {

// The lease releases the input slot when this returns, whichever way it ends:
// only after the output was copied, as a server may answer in that very slot.
template <class PostAndAwait>
Result<PyRef> region_call(RegionClientState<PostAndAwait>& state, const char* class_name,
                          const std::vector<std::int64_t>& shape, const std::string& dtype,
                          std::span<const std::uint8_t> data) {
    RegionClient& client = state.client;
    if (!client.made_here()) return quelt::unexpected(made_in_another_process(class_name));
    // Taken before anything can fail: a failing call still uses up its number.
    const std::uint64_t request_id = client.numbers.take();
    // A step that can tell at once that its server is out of reach says so
    // before the input is staged.
    if constexpr (requires { state.post_and_await.check_reachable(client); }) {
        QUELT_TRY(reachable, state.post_and_await.check_reachable(client));
    }
    QUELT_TRY(input, shm::stage_input(client.region.bytes(), *client.pool, shape, dtype, data));
    QUELT_TRY(output_offset, state.post_and_await(client, request_id, *input));
    // The output's length is the block's own data_len, checked to lie inside the mapping.
    QUELT_TRY(output, shm::read_tensor_data(client.region.bytes(), *output_offset));
    PyRef bytes = PyRef::steal(result_bytes_copy(*output));
    if (!bytes) return pending();
    return bytes;
}

// The infer method's parameters; its signature names the class ("NAME.infer").
inline constexpr const char* kRegionInferNames[] = {"shape", "dtype", "data"};

// The infer method itself.
template <class PostAndAwait>
PyObject* region_infer(const Signature& signature, const char* class_name, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
    auto bound = bind<3>(signature, args, nargs, kwnames);
    if (!bound) return raise(bound.error());
    auto shape = to_shape((*bound)[0], "shape");
    if (!shape) return raise(shape.error());
    auto dtype = to_string((*bound)[1], "dtype");
    if (!dtype) return raise(dtype.error());
    auto data = DataArgument::from((*bound)[2], "data");
    if (!data) return raise(data.error());
    auto* object = NativeObject<RegionClientState<PostAndAwait>>::cast(self);
    auto borrow = object->borrow.exclusive();
    if (!borrow) return raise(borrow.error());
    auto result = region_call(*object->native, class_name, *shape, *dtype, data->bytes());
    if (!result) return raise(result.error());
    return result->release();
}

}  // namespace quelt::py

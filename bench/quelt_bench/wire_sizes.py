"""Frame sizes of one unary `infer` on the stream protocol, from the record layout.

The raw socket baselines move exactly these many bytes, so a client and its
baseline are compared on identical traffic.
"""

from __future__ import annotations

from dataclasses import dataclass

REQUEST_HEADER = 12  # model_id, message_kind, payload_length: three u32
REPLY_HEADER = 8  # reply_code, body_length: two u32
COUNT = 8  # every sequence, string and byte-sequence count is a u64
TAG = 1  # an optional value's presence byte
OPTIONS_WITH_TOKEN = 22  # present RequestOptions (its tag included) with a token of L bytes: L + 22


def tensor_packet_len(ndim: int, dtype: str, data_len: int) -> int:
    """BinaryTensorPacketPayload with `data` present and `data_base64` absent."""
    shape = COUNT + 8 * ndim
    dtype_field = COUNT + len(dtype.encode())
    data = TAG + COUNT + data_len
    return shape + dtype_field + data + TAG


def inference_request_len(ndim: int, dtype: str, data_len: int, token_len: int | None = None) -> int:
    """InferenceRequest without additional inputs or session."""
    options = TAG if token_len is None else token_len + OPTIONS_WITH_TOKEN
    return tensor_packet_len(ndim, dtype, data_len) + COUNT + TAG + options


@dataclass(frozen=True)
class FrameSizes:
    request_payload: int
    reply_body: int

    @property
    def request_frame(self) -> int:
        return REQUEST_HEADER + self.request_payload

    @property
    def reply_frame(self) -> int:
        return REPLY_HEADER + self.reply_body


def identity_infer_frames(ndim: int, dtype: str, data_len: int) -> FrameSizes:
    """The frames of one `infer` whose reply echoes the input tensor."""
    return FrameSizes(
        request_payload=inference_request_len(ndim, dtype, data_len),
        reply_body=tensor_packet_len(ndim, dtype, data_len),
    )


# A hybrid call's control exchange: a 40-byte HybridRequest and a 40-byte
# HybridResponse, whatever the tensor's size (the tensor stays in shared memory).
HYBRID_CONTROL_FRAMES = FrameSizes(request_payload=40, reply_body=40)

// The Windows build checked end to end: the platform-free core and the
// Windows backend (named pipes, Winsock, file-mapped regions, the completion
// port) against the Windows reference server, all under Wine or Windows.
//
// usage: quelt-windows-check.exe PATH\TO\quelt-refserver.exe
// Prints one line per failed check and ends with "N passed, N failed".
// Wine's texts for system errors are its own (and sometimes missing), so the
// checks compare error codes and the fixed parts of texts only.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/os_error.hpp"
#include "net/connection_pool.hpp"
#include "net/connector.hpp"
#include "net/endpoint.hpp"
#include "net/inference_exchange.hpp"
#include "runtime/async_mutex.hpp"
#include "runtime/control_exchange.hpp"
#include "runtime/runtime.hpp"
#include "shm/input_staging.hpp"
#include "shm/message_block.hpp"
#include "shm/region_queues.hpp"
#include "shm/response_wait.hpp"
#include "shm/shared_pools.hpp"
#include "shm/shm_region.hpp"
#include "shm/lease_companion.hpp"
#include "shm/tensor_block.hpp"
#include "shm/tensor_pool.hpp"
#include "transport/hybrid_messages.hpp"
#include "lock_order.hpp"

using namespace quelt;
using namespace std::chrono_literals;

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const std::string& what) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED: %s\n", what.c_str());
        std::fflush(stdout);
    }
}

bool ends_with(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bool starts_with(const std::string& text, const std::string& start) { return text.rfind(start, 0) == 0; }

std::string unique_name(const char* stem) {
    static int counter = 0;
    return std::string(stem) + "-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++counter);
}

std::string pipe_path(const std::string& name) { return R"(\\.\pipe\)" + name; }

std::vector<std::uint8_t> pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return bytes;
}

// ---------------------------------------------------------------------------
// The reference server as a child process, stopped by closing its stdin.

class Server {
public:
    Server(const std::string& executable, std::vector<std::string> extra) {
        pipe_name = pipe_path(unique_name("quelt-check"));
        shm_name = unique_name("quelt_check");
        std::vector<std::string> arguments{"--tcp",     "127.0.0.1:0", "--unix",    pipe_name,
                                           "--shm-name", shm_name,      "--pool-size", "8M",
                                           "--exit-on-stdin-close"};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        start(executable, arguments);
    }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    ~Server() { stop(); }

    bool ready() const { return ready_; }
    std::string tcp_address;
    std::string pipe_name;
    std::string shm_name;
    std::uint64_t region_size = 0;

    // Returns the exit code.
    DWORD stop() {
        if (!process_) return exit_code_;
        ::CloseHandle(std::exchange(stdin_, nullptr));
        if (::WaitForSingleObject(process_, 15000) != WAIT_OBJECT_0) ::TerminateProcess(process_, 99);
        ::GetExitCodeProcess(process_, &exit_code_);
        ::CloseHandle(std::exchange(process_, nullptr));
        if (stdout_) ::CloseHandle(std::exchange(stdout_, nullptr));
        return exit_code_;
    }

private:
    void start(const std::string& executable, const std::vector<std::string>& arguments) {
        std::wstring command = L"\"" + std::filesystem::path(executable).wstring() + L"\"";
        for (const auto& argument : arguments) command += L" \"" + std::filesystem::path(argument).wstring() + L"\"";
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE child_in = nullptr, child_out = nullptr;
        ::CreatePipe(&child_in, &stdin_, &inherit, 0);
        ::CreatePipe(&stdout_, &child_out, &inherit, 0);
        ::SetHandleInformation(stdin_, HANDLE_FLAG_INHERIT, 0);
        ::SetHandleInformation(stdout_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = child_in;
        startup.hStdOutput = child_out;
        startup.hStdError = child_out;
        PROCESS_INFORMATION info{};
        const BOOL started = ::CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                                              &startup, &info);
        ::CloseHandle(child_in);
        ::CloseHandle(child_out);
        if (!started) return;
        ::CloseHandle(info.hThread);
        process_ = info.hProcess;
        read_until_ready();
    }

    // The server says where it listens, then "ready".
    void read_until_ready() {
        std::string pending;
        char chunk[512];
        DWORD got = 0;
        while (::ReadFile(stdout_, chunk, sizeof chunk, &got, nullptr) && got != 0) {
            pending.append(chunk, got);
            std::size_t end;
            while ((end = pending.find('\n')) != std::string::npos) {
                std::string line = pending.substr(0, end);
                pending.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (auto at = line.find("listening on tcp "); at != std::string::npos) tcp_address = line.substr(at + 17);
                if (auto at = line.find("' of "); at != std::string::npos && line.find("region") != std::string::npos)
                    region_size = std::stoull(line.substr(at + 5));
                if (ends_with(line, ": ready")) {
                    ready_ = true;
                    return;
                }
                if (line.find("quelt-refserver:") != std::string::npos && !ready_) continue;
                std::printf("server said: %s\n", line.c_str());
            }
        }
    }

    HANDLE process_ = nullptr;
    HANDLE stdin_ = nullptr;
    HANDLE stdout_ = nullptr;
    DWORD exit_code_ = 0;
    bool ready_ = false;
};

// ---------------------------------------------------------------------------
// Endpoint resolution: the cases shared with the Linux tests, then the
// Windows rules for "unix://".

struct ResolvedCase {
    net::EndpointArguments arguments;
    const char* protocol;
    const char* endpoint;
};
struct RefusedCase {
    net::EndpointArguments arguments;
    const char* message;
};
#include "endpoint_cases.inc"

void endpoint_resolution() {
    for (const auto& c : kResolvedCases) {
        auto transport = net::resolve_transport(c.arguments);
        check(transport && transport->protocol() == c.protocol && transport->endpoint() == c.endpoint,
              std::string("resolves to ") + c.endpoint);
    }
    for (const auto& c : kRefusedCases) {
        auto transport = net::resolve_transport(c.arguments);
        check(!transport && transport.error().kind == ErrorKind::Value &&
                  transport.error().text == c.message,
              std::string("refused with ") + c.message);
    }
    // The local transport is the named pipe: no unix:// endpoint is accepted.
    const net::EndpointArguments unix_endpoints[] = {
        {.endpoint = "unix:///tmp/q.sock"},
        {.endpoint = "unix://"},
        {.protocol = "socket", .socket_path = "unix://rel.sock"},
        {.endpoint = "unix:///a b", .protocol = "unix"},
    };
    for (const auto& arguments : unix_endpoints) {
        auto transport = net::resolve_transport(arguments);
        check(!transport && transport.error().text == "unix:// endpoints are only supported on Unix",
              "unix:// is refused: " + arguments.endpoint.value_or(*arguments.socket_path));
    }
    auto local = net::resolve_transport({.protocol = "local", .socket_path = R"(\\.\pipe\svc)"});
    check(local && local->endpoint() == R"(pipe://\\.\pipe\svc)", "protocol local selects the named pipe");
}

// ---------------------------------------------------------------------------
// QueltClient's core over the named pipe and TCP.

struct Unary {
    Result<net::ReplyTensor> reply;
    std::vector<std::uint8_t> data;
};

Unary unary(net::ConnectionPool& pool, std::uint32_t model, std::span<const std::int64_t> shape,
            const std::vector<std::uint8_t>& input, const char* dtype = "uint8") {
    wire::BufferSink sink;
    net::InferenceCall call;
    call.model_id = model;
    call.shape = shape;
    call.dtype = dtype;
    call.data = input;
    auto reply = pool.with_connection([&](net::Connection& connection) { return net::infer_exchange(connection, call, sink); });
    std::vector<std::uint8_t> data;
    if (reply) data.assign(sink.buffer.span().begin(), sink.buffer.span().end());
    return {std::move(reply), std::move(data)};
}

void stream_exchanges(const Server& server) {
    const net::Transport transports[] = {{net::Transport::Kind::Pipe, server.pipe_name},
                                         {net::Transport::Kind::Tcp, server.tcp_address}};
    for (const auto& transport : transports) {
        const std::string over = " over " + transport.protocol();
        net::ConnectionPool pool(transport, 8);
        // Large enough that the pipe and the socket move it in many pieces.
        const std::vector<std::int64_t> shape{3, 1 << 20};
        const auto input = pattern(3u << 20);
        auto echoed = unary(pool, 0, shape, input);
        check(echoed.reply && echoed.data == input && echoed.reply->shape == shape, "identity returns the tensor" + over);
        check(pool.idle_count() == 1, "the connection goes back to the pool" + over);

        const float values[] = {1.5f, 2.0f, 4.25f};
        std::vector<std::uint8_t> floats(sizeof values);
        std::memcpy(floats.data(), values, sizeof values);
        const std::vector<std::int64_t> three{3};
        auto sum = unary(pool, 1, three, floats, "FP32");
        float total = 0;
        if (sum.data.size() == 4) std::memcpy(&total, sum.data.data(), 4);
        check(sum.reply && sum.reply->dtype == DType::Float32 && sum.reply->shape == std::vector<std::int64_t>{1} &&
                  total == 7.75f,
              "a tensor reply carries shape and data type" + over);

        auto missing = unary(pool, 42, three, floats);
        check(!missing.reply && missing.reply.error().kind == ErrorKind::Runtime &&
                  missing.reply.error().text == "Model not loaded",
              "a server error arrives as its text" + over);
        check(pool.idle_count() == 1, "a server error keeps the connection" + over);

        // A stream runs on a connection of its own, chunk by chunk to its end.
        auto connection = net::connect(transport);
        check(connection.has_value(), "a stream connection opens" + over);
        if (!connection) continue;
        const std::vector<std::int64_t> flat{1000};
        const auto streamed_input = pattern(1000);
        net::InferenceCall call;
        call.model_id = 2;
        call.shape = flat;
        call.dtype = "uint8";
        call.data = streamed_input;
        auto frame = net::build_inference_frame(call, wire::MessageKind::InferStream);
        bool written = frame && net::write_frame(*connection, *frame).has_value();
        std::vector<std::uint8_t> joined;
        int chunks = 0;
        bool ended = false;
        while (written) {
            wire::BufferSink sink;
            auto step = net::next_stream_frame(*connection, sink);
            if (!step || !*step) {
                ended = step.has_value();
                break;
            }
            ++chunks;
            joined.insert(joined.end(), sink.buffer.span().begin(), sink.buffer.span().end());
        }
        check(ended && chunks == 4 && joined == streamed_input, "a stream yields its chunks, then ends" + over);
    }
}

// The server's fault models break the reply: each one ends as the failure
// kind its breakage calls for, on both transports.
void server_fault_models(const Server& server) {
    const net::Transport transports[] = {{net::Transport::Kind::Pipe, server.pipe_name},
                                         {net::Transport::Kind::Tcp, server.tcp_address}};
    const struct {
        std::uint32_t model;
        const char* name;
        ErrorKind kind;
    } faults[] = {
        {5, "truncate (the server closes mid-reply)", ErrorKind::Connection},
        {6, "reset", ErrorKind::Connection},
        {7, "garbage", ErrorKind::Runtime},
        {8, "drop", ErrorKind::Connection},
    };
    const std::vector<std::int64_t> shape{4};
    const auto input = pattern(4);
    for (const auto& transport : transports)
        for (const auto& fault : faults) {
            net::ConnectionPool pool(transport, 8);
            auto result = unary(pool, fault.model, shape, input);
            check(!result.reply && result.reply.error().kind == fault.kind,
                  std::string(fault.name) + " fails as it should over " + transport.protocol());
            if (fault.model == 5)
                check(!result.reply && result.reply.error().text == "failed to fill whole buffer",
                      "a reply cut short is \"failed to fill whole buffer\" over " + transport.protocol() + ": " +
                          (result.reply ? "" : result.reply.error().text));
            // A pipe the server disconnects fails the client's read with
            // "pipe not connected" (233); a closed one ends the stream.
            // A reset socket fails with the Winsock code and its text.
            if (fault.model == 6 && transport.kind == net::Transport::Kind::Tcp)
                check(!result.reply && result.reply.error().os_code == WSAECONNRESET &&
                          ends_with(result.reply.error().text, " (os error 10054)"),
                      "a reset TCP connection fails with os error 10054");
            if (fault.model == 6 && transport.kind == net::Transport::Kind::Pipe)
                check(!result.reply && result.reply.error().os_code == ERROR_PIPE_NOT_CONNECTED &&
                          ends_with(result.reply.error().text, " (os error 233)"),
                      "a disconnected pipe fails with os error 233");
        }
}

// Missing, busy and refused endpoints fail at connect with the system's code.
void connect_failures(const Server& server) {
    auto missing = net::connect({net::Transport::Kind::Pipe, pipe_path(unique_name("absent"))});
    check(!missing && missing.error().os_code == ERROR_FILE_NOT_FOUND && ends_with(missing.error().text, " (os error 2)"),
          "a missing pipe fails with os error 2");

    // A pipe of one instance, taken: the next client finds it busy at once.
    const std::string busy_name = pipe_path(unique_name("busy"));
    HANDLE only = ::CreateNamedPipeW(std::filesystem::path(busy_name).wstring().c_str(), PIPE_ACCESS_DUPLEX,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
    auto first = net::connect({net::Transport::Kind::Pipe, busy_name});
    auto second = net::connect({net::Transport::Kind::Pipe, busy_name});
    check(first.has_value(), "the one pipe instance connects");
    check(!second && second.error().os_code == ERROR_PIPE_BUSY && ends_with(second.error().text, " (os error 231)"),
          "a busy pipe fails at once with os error 231");
    ::CloseHandle(only);

    auto nul = net::connect({net::Transport::Kind::Pipe, std::string(server.pipe_name) + std::string(1, '\0') + "x"});
    check(!nul && nul.error().os_code == ERROR_INVALID_NAME, "a pipe path holding NUL fails as an invalid name");
    auto nul_host = net::connect({net::Transport::Kind::Tcp, std::string("localhost") + std::string(1, '\0') + "x:80"});
    check(!nul_host && nul_host.error().os_code == WSAHOST_NOT_FOUND, "a host holding NUL is not found");
    // An address literal followed by NUL is no literal: it never reaches the shorter, listening address.
    std::string nul_literal = server.tcp_address;
    nul_literal.insert(nul_literal.rfind(':'), std::string(1, '\0') + "x");
    auto shortened = net::connect({net::Transport::Kind::Tcp, nul_literal});
    check(!shortened && shortened.error().os_code == WSAHOST_NOT_FOUND, "an address literal holding NUL is not found");

    // Port 1 on the loopback address: nobody listens there.
    auto refused = net::connect({net::Transport::Kind::Tcp, "127.0.0.1:1"});
    check(!refused && refused.error().os_code == WSAECONNREFUSED && ends_with(refused.error().text, " (os error 10061)"),
          "a refused TCP connect fails with os error 10061");
    auto tcp = net::connect({net::Transport::Kind::Tcp, server.tcp_address});
    BOOL no_delay = FALSE;
    int length = sizeof no_delay;
    check(tcp && ::getsockopt(static_cast<SOCKET>(tcp->native_handle()), IPPROTO_TCP, TCP_NODELAY,
                              reinterpret_cast<char*>(&no_delay), &length) == 0 && no_delay,
          "a TCP connection has no-delay on");
    auto bad_port = net::connect({net::Transport::Kind::Tcp, "127.0.0.1:http"});
    check(!bad_port && bad_port.error().text == "invalid port value", "a bad port is refused before connecting");

    check(ends_with(os_error_text(ERROR_FILE_NOT_FOUND), " (os error 2)") &&
              os_error_text(ERROR_FILE_NOT_FOUND).size() > std::string(" (os error 2)").size(),
          "system texts carry the system's message and the code");
    // A code the system has no message for still reads "<message> (os error N)".
    check(os_error_text(0x2000ABCD) == "Unknown error (os error 536914893)", "a code without a message falls back");
}

// ---------------------------------------------------------------------------
// Regions: opened by the Windows rules, then used through the queues.

std::filesystem::path backing_directory() {
    wchar_t buffer[MAX_PATH + 1];
    const DWORD length = ::GetTempPathW(MAX_PATH + 1, buffer);
    return std::filesystem::path(std::wstring(buffer, length)) / L"shared_memory-rs";
}

// A backing file with the given header bytes, as a server would leave it.
void write_backing_file(const std::string& name, std::uint32_t magic, std::uint32_t version, std::size_t size) {
    std::filesystem::create_directories(backing_directory());
    std::vector<char> bytes(size, 0);
    std::memcpy(bytes.data(), &magic, 4);
    std::memcpy(bytes.data() + 4, &version, 4);
    std::ofstream(backing_directory() / name, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
}

void region_opening(const Server& server) {
    auto missing = shm::ShmRegion::open(unique_name("absent_region"));
    check(!missing && missing.error().text == "Shared memory error: Opening the shared memory failed, os error 2",
          "a region without a backing file fails with os error 2");

    // The name as given would reach the system shorter: no such backing file.
    auto nul = shm::ShmRegion::open(server.shm_name + std::string(1, '\0') + "x");
    check(!nul && nul.error().text == "Shared memory error: Opening the shared memory failed, os error 2",
          "a region name holding NUL fails like a missing one");

    const std::uint32_t magic = 0x41494D4F;
    const struct {
        const char* what;
        std::uint32_t magic, version;
        const char* text;  // nullptr: opens
    } headers[] = {
        {"a good header", magic, 1, nullptr},
        {"version 2", magic, 2, "Shared memory version mismatch"},
        {"a changed magic", magic ^ 0xFF, 1, "Invalid magic number in shared memory"},
        {"a changed magic and version 2", magic ^ 0xFF, 2, "Invalid magic number in shared memory"},
    };
    for (const auto& header : headers) {
        const std::string name = unique_name("header");
        write_backing_file(name, header.magic, header.version, 5000);
        auto region = shm::ShmRegion::open(name);
        if (header.text == nullptr)
            check(region && region->size() == 8192, std::string(header.what) + " opens; its size is the view's, in pages");
        else
            check(!region && region.error().text == header.text, std::string(header.what) + " is refused");
        std::filesystem::remove(backing_directory() / name);
    }
    // The backing file is named without leading '/', the mapping with them.
    const std::string name = unique_name("slashed");
    write_backing_file(name, magic, 1, 4096);
    check(shm::ShmRegion::open("//" + name).has_value(), "a name with leading '/' uses the file without them");
    std::filesystem::remove(backing_directory() / name);

    auto served = shm::ShmRegion::open(server.shm_name);
    check(served && served->size() == server.region_size && server.region_size != 0,
          "the server's region opens with the size the server mapped");
}

// The slot leases that processes share live in a companion file beside the
// backing file; a cell is held by a lock that the system drops with its
// holder. Two opens stand for two processes: locks belong to the handle.
void lease_companion() {
    const std::string name = unique_name("companion");
    write_backing_file(name, 0x41494D4F, 1, 4096);
    {
        auto region = shm::SharedMapping::open_existing(name);
        std::optional<shm::LeaseCompanion> first, second;
        if (region) {
            if (auto opened = shm::LeaseCompanion::open(name, *region, 4096)) first.emplace(std::move(*opened));
            if (auto opened = shm::LeaseCompanion::open(name, *region, 8192)) second.emplace(std::move(*opened));
        }
        check(first && second && std::filesystem::exists(backing_directory() / (name + ".leases")),
              "the lease companion lies beside the backing file");
        if (first && second) {
            first->bytes()[100] = std::byte{42};
            check(second->bytes().size() == 8192 && second->bytes()[100] == std::byte{42},
                  "both opens see the same bytes, and a companion grows");
            auto claimed = first->try_claim(7);
            auto again = second->try_claim(7);
            check(claimed && *claimed && again && !*again, "a cell held by one holder cannot be claimed by another");
            check(second->claimed_by_another(7) && !second->claimed_by_another(8),
                  "a held cell is seen as held, a free one as free");
            first.reset();  // as if the holder ended
            check(!second->claimed_by_another(7), "a holder's cell is free once it has gone");
        }
    }
    shm::LeaseCompanion::remove(name);
    check(!std::filesystem::exists(backing_directory() / (name + ".leases")), "the companion can be removed");
    std::filesystem::remove(backing_directory() / name);
}

// A client asks whether its region's name still shows the file it mapped:
// another file under the name is a restarted server's, no file a stopped one.
void region_standing() {
    const std::string name = unique_name("standing");
    const std::string other = unique_name("standing-other");
    write_backing_file(name, 0x41494D4F, 1, 4096);
    write_backing_file(other, 0x41494D4F, 1, 4096);
    if (auto region = shm::SharedMapping::open_existing(name)) {
        check(region->standing_of(name) == shm::NameStanding::Same, "the mapped file is still under its name");
        check(region->standing_of(other) == shm::NameStanding::Replaced, "another file under the name is told apart");
        check(region->standing_of(unique_name("standing-none")) == shm::NameStanding::Removed,
              "a name without a file is told apart");
    } else {
        check(false, "the region for the standing checks opens");
    }
    std::filesystem::remove(backing_directory() / name);
    std::filesystem::remove(backing_directory() / other);
}

struct QueueAnswer {
    std::optional<shm::ResponseEntry> entry;
    std::string failure;
};

QueueAnswer queue_call(const shm::ShmRegion& region, shm::TensorPool& pool, std::uint64_t request_id,
                       std::span<const std::int64_t> shape, const std::vector<std::uint8_t>& input) {
    auto lease = shm::stage_input(region.bytes(), pool, shape, "uint8", input);
    if (!lease) return {std::nullopt, lease.error().text};
    auto queue = shm::request_queue(region);
    if (!queue) return {std::nullopt, queue.error().text};
    const shm::RequestEntry request{request_id, 0, 0, lease->offset(), lease->size()};
    if (auto pushed = queue->push(request); !pushed) return {std::nullopt, pushed.error().text};
    auto answer = shm::await_response(region, request_id, std::chrono::steady_clock::now(),
                                      shm::spin_budget(lease->size()), [] { return true; });
    if (!answer) return {std::nullopt, answer.error().text};
    return {*answer, {}};
}

std::string answer_text(const shm::ShmRegion& region, const QueueAnswer& answer) {
    if (!answer.entry) return answer.failure;
    if (answer.entry->status == 0) {
        auto data = shm::read_tensor_data(region.bytes(), answer.entry->result_offset);
        return data ? std::string(reinterpret_cast<const char*>(data->data()), data->size()) : data.error().text;
    }
    auto text = shm::read_message_block(region.bytes(), answer.entry->error_offset);
    return text ? std::string(reinterpret_cast<const char*>(text->data()), text->size()) : text.error().text;
}

void queue_calls(const Server& server, const char* model, const std::string& expected_start) {
    auto region = shm::ShmRegion::open(server.shm_name);
    check(region.has_value(), std::string("the ") + model + " server's region opens");
    if (!region) return;
    auto pool = shm::shared_pool(*region);
    check(pool.has_value(), std::string("the ") + model + " server's region has a shared slot pool");
    if (!pool) return;
    const auto input = pattern(100'000);
    const std::vector<std::int64_t> shape{100'000};
    auto answer = queue_call(*region, **pool, 7, shape, input);
    const std::string text = answer_text(*region, answer);
    if (expected_start.empty())
        check(answer.entry && answer.entry->request_id == 7 && text == std::string(input.begin(), input.end()),
              std::string("a queue call through the ") + model + " server returns the tensor");
    else
        check(starts_with(text, expected_start),
              std::string("a queue call through the ") + model + " server ends with " + expected_start);
}

// ---------------------------------------------------------------------------
// The hybrid exchange: the control channel over the completion port.

struct Hybrid {
    std::unique_ptr<runtime::Runtime> runtime;
    std::optional<shm::ShmRegion> region;
    std::shared_ptr<shm::TensorPool> pool;
    std::unique_ptr<runtime::ControlChannel> channel;

    Hybrid(const std::string& shm_name, const std::string& pipe) {
        auto built = runtime::Runtime::create();
        if (built) runtime = std::move(*built);
        auto opened = shm::ShmRegion::open(shm_name);
        if (opened) {
            region.emplace(std::move(*opened));
            if (auto shared = shm::shared_pool(*region)) pool = std::move(*shared);
        }
        if (runtime) channel = std::make_unique<runtime::ControlChannel>(*runtime, pipe);
    }
    bool usable() const { return runtime && region && pool && channel; }

    // The output's bytes, or the failure's text.
    quelt::expected<std::string, std::string> infer(std::uint64_t request_id, const std::vector<std::uint8_t>& input) {
        const std::vector<std::int64_t> shape{static_cast<std::int64_t>(input.size())};
        auto lease = shm::stage_input(region->bytes(), *pool, shape, "uint8", input);
        if (!lease) return quelt::unexpected(lease.error().text);
        const HybridRequest request{RequestHeader::build(request_id), lease->offset(), lease->size()};
        auto reply = runtime->block_on(channel->exchange(request));
        if (!reply) return quelt::unexpected(reply.error().text);
        if (reply->metadata.request_id != request_id) return quelt::unexpected(std::string("another request's answer"));
        auto data = shm::read_tensor_data(region->bytes(), reply->shm_offset);
        if (!data) return quelt::unexpected(data.error().text);
        return std::string(reinterpret_cast<const char*>(data->data()), data->size());
    }
};

void hybrid_calls(const Server& server) {
    Hybrid client(server.shm_name, server.pipe_name);
    check(client.usable(), "a hybrid client builds its runtime and opens the region");
    if (!client.usable()) return;
    check(client.runtime->worker_count() >= 1, "the runtime has its worker threads");
    for (std::size_t size : {1u, 4096u, 1u << 20}) {
        const auto input = pattern(size);
        auto output = client.infer(size, input);
        check(output && *output == std::string(input.begin(), input.end()),
              "a hybrid call returns the tensor (" + std::to_string(size) + " bytes)");
    }
    check(client.channel->connected(), "the control pipe stays open between calls");

    // Several threads at once on one channel: the FIFO lock lets one exchange
    // run at a time, and every caller gets its own answer.
    std::atomic<int> right{0};
    std::vector<std::thread> callers;
    for (int who = 1; who <= 6; ++who)
        callers.emplace_back([&, who] {
            for (int round = 0; round < 5; ++round) {
                const auto input = pattern(static_cast<std::size_t>(64 * who + round));
                auto output = client.infer(static_cast<std::uint64_t>(1000 * who + round), input);
                if (output && *output == std::string(input.begin(), input.end())) ++right;
            }
        });
    for (auto& caller : callers) caller.join();
    check(right == 30, "exchanges from six threads take turns on one pipe, each with its own answer");
}

// Waiters on the async lock are served in the order they asked, on runtimes
// driven by the completion port.
void lock_order_check() {
    auto runtime = runtime::Runtime::create(2);
    check(runtime.has_value(), "a runtime builds");
    if (!runtime) return;
    runtime::AsyncMutex mutex;
    check(lock_order::grant_order(**runtime, mutex) == std::vector<int>({1, 2, 3, 4, 5}),
          "lock waiters are served in the order they asked");
    check(mutex.try_lock(), "the lock is free after the last holder");
}

void hybrid_failures(const std::string& executable, const Server& dropping) {
    // The pipe does not exist yet: the open fails, and the next call opens it.
    const std::string later_pipe = pipe_path(unique_name("later"));
    {
        Hybrid client(dropping.shm_name, later_pipe);
        auto early = client.infer(1, pattern(16));
        check(!early && starts_with(early.error(), "Failed to open named pipe '" + later_pipe + "': ") &&
                  ends_with(early.error(), " (os error 2)"),
              "a hybrid call to a missing pipe names the pipe and os error 2");
        check(!client.channel->connected(), "a failed open leaves the channel empty");
        Server late(executable, {"--unix", later_pipe, "--no-tcp", "--no-shm"});
        // This server has no region: it answers, with its refusal text, over the pipe just opened.
        auto second = client.infer(2, pattern(16));
        check(!second && starts_with(second.error(), "Model not loaded") && client.channel->connected(),
              "the next call opens the pipe the server created meanwhile");
    }
    // A server that closes the pipe after reading the request: "early eof",
    // and the same channel fails again afterwards.
    Hybrid client(dropping.shm_name, dropping.pipe_name);
    auto first = client.infer(1, pattern(16));
    check(!first && first.error() == "early eof",
          "a server that closes the pipe mid-exchange gives \"early eof\": " + (first ? "" : first.error()));
    auto again = client.infer(2, pattern(16));
    check(!again, "the channel keeps failing after the server closed it");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s PATH\\TO\\quelt-refserver.exe\n", argv[0]);
        return 2;
    }
    const std::string executable = argv[1];
    endpoint_resolution();
    lock_order_check();
    {
        Server server(executable, {});
        check(server.ready() && !server.tcp_address.empty(), "the Windows server starts on a pipe and TCP");
        if (server.ready()) {
            stream_exchanges(server);
            server_fault_models(server);
            connect_failures(server);
            region_opening(server);
            lease_companion();
            region_standing();
            queue_calls(server, "identity", "");
            hybrid_calls(server);
        }
        check(server.stop() == 0, "the server stops cleanly when its input closes");
        check(!std::filesystem::exists(backing_directory() / server.shm_name) &&
                  !std::filesystem::exists(backing_directory() / (server.shm_name + ".leases")),
              "the stopped server removed its backing file and the lease companion");
    }
    {
        Server error(executable, {"--shm-model", "error"});
        Server garbage(executable, {"--shm-model", "garbage"});
        Server truncate(executable, {"--shm-model", "truncate"});
        queue_calls(error, "error", "Inference error: the error model always fails");
        queue_calls(garbage, "garbage", "Invalid shared memory region");
        queue_calls(truncate, "truncate", "Invalid shared memory region");
    }
    {
        Server dropping(executable, {"--shm-model", "drop"});
        queue_calls(dropping, "drop", "Request timed out");
        hybrid_failures(executable, dropping);
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

#include "platform/NamedPipe.h"
#include "platform/Pipe.h"
#include "platform/PipeReader.h"
#include "platform/Sleep.h"
#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/socket.h>
#endif

#include <atomic>
#include <string>

using namespace std::chrono_literals;
using platform::PipeReader;
using platform::SteadyClock;
using platform::Thread;

namespace {

struct Pipe {
    platform::NativeHandle read = platform::kInvalidHandle;
    platform::NativeHandle write = platform::kInvalidHandle;
    Pipe() { EXPECT_TRUE(platform::createPipe(read, write)); }
    ~Pipe() {
        platform::closeHandle(read);
        platform::closeHandle(write);
    }
    void closeWrite() {
        platform::closeHandle(write);
        write = platform::kInvalidHandle;
    }
};

// One blocking read on its own thread, so the test can interrupt it.
struct BlockedRead {
    PipeReader& reader;
    platform::NativeHandle pipe;
    std::atomic<bool> done{false};
    PipeReader::Status status = PipeReader::Status::Data;
    Thread thread;

    BlockedRead(PipeReader& r, platform::NativeHandle p) : reader(r), pipe(p) {
        EXPECT_TRUE(thread.start(
            [](void* raw) {
                auto* self = static_cast<BlockedRead*>(raw);
                char buffer[16];
                std::size_t got = 0;
                self->status = self->reader.read(self->pipe, buffer, sizeof buffer, got);
                self->done = true;
                return 0;
            },
            this));
    }
    ~BlockedRead() { thread.join(); }
};

TEST(PipeReader, DeliversDataThenEndOfFile) {
    Pipe pipe;
    PipeReader reader;
    const std::string sent("AB\0CD", 5);
    ASSERT_TRUE(platform::writeAll(pipe.write, sent.data(), sent.size()));
    char buffer[128];
    std::size_t got = 0;
    ASSERT_EQ(reader.read(pipe.read, buffer, sizeof buffer, got), PipeReader::Status::Data);
    EXPECT_EQ(std::string(buffer, got), sent);
    pipe.closeWrite();
    EXPECT_EQ(reader.read(pipe.read, buffer, sizeof buffer, got), PipeReader::Status::EndOfFile);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(reader.read(platform::kInvalidHandle, buffer, sizeof buffer, got), PipeReader::Status::Failed);
}

TEST(PipeReader, InterruptWakesABlockedReadAndEveryLaterOne) {
    Pipe pipe;
    PipeReader reader;
    BlockedRead blocked(reader, pipe.read);
    platform::sleepFor(100ms); // well inside the read by now
    EXPECT_FALSE(blocked.done.load());
    const auto before = SteadyClock::now();
    reader.interrupt();
    EXPECT_EQ(blocked.thread.joinFor(2000ms), Thread::JoinResult::Joined);
    EXPECT_LT(SteadyClock::now() - before, 2s);
    EXPECT_EQ(blocked.status, PipeReader::Status::Interrupted);

    // Data waiting in the pipe does not undo the interrupt.
    ASSERT_TRUE(platform::writeAll(pipe.write, "x", 1));
    char buffer[4];
    std::size_t got = 0;
    EXPECT_EQ(reader.read(pipe.read, buffer, sizeof buffer, got), PipeReader::Status::Interrupted);
}

TEST(PipeReader, InterruptRacingTheStartOfAReadNeverLosesTheWakeUp) {
    // The interrupt lands anywhere from before the read begins to inside the system call.
    for (int round = 0; round < 50; ++round) {
        Pipe pipe;
        PipeReader reader;
        BlockedRead blocked(reader, pipe.read);
        if (round % 2) {
            platform::sleepFor(std::chrono::microseconds(round * 20));
        }
        reader.interrupt();
        ASSERT_EQ(blocked.thread.joinFor(2000ms), Thread::JoinResult::Joined) << "round " << round;
        EXPECT_EQ(blocked.status, PipeReader::Status::Interrupted);
    }
}

TEST(NamedPipe, OneInstancePerNameUntilItIsClosed) {
    const char* name = "\\\\.\\pipe\\ferrox_platform_test_pipe";
    const auto first = platform::createInboundNamedPipe(name);
    ASSERT_TRUE(platform::isValid(first));
    EXPECT_FALSE(platform::isValid(platform::createInboundNamedPipe(name)));
    EXPECT_FALSE(platform::isValid(platform::createInboundNamedPipe(name)));

    const auto other = platform::createInboundNamedPipe("\\\\.\\pipe\\ferrox_platform_test_other");
    EXPECT_TRUE(platform::isValid(other));

    platform::closeHandle(first);
    const auto again = platform::createInboundNamedPipe(name);
    EXPECT_TRUE(platform::isValid(again));
    platform::closeHandle(again);
    platform::closeHandle(other);
}

// Wakes a thread blocked in a receive on `socket`, which then returns an error; the socket stays open.
// shutdown does not wake a receive that is already blocked under Wine; cancelling every I/O on the
// socket does, on Windows and Wine alike.
void interruptReceive(boost::asio::ip::tcp::socket& socket) {
#if defined(_WIN32)
    ::CancelIoEx(reinterpret_cast<HANDLE>(static_cast<SOCKET>(socket.native_handle())), nullptr);
#else
    ::shutdown(socket.native_handle(), SHUT_RDWR);
#endif
}

TEST(Socket, InterruptWakesABlockedReceive) {
    namespace asio = boost::asio;
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::address_v4::loopback(), 0});
    asio::ip::tcp::socket client(io);
    client.connect(acceptor.local_endpoint());
    asio::ip::tcp::socket server(io);
    acceptor.accept(server);

    struct Receive {
        asio::ip::tcp::socket& socket;
        std::atomic<bool> done{false};
        boost::system::error_code error;
    } receive{server, {}, {}};
    Thread thread;
    ASSERT_TRUE(thread.start(
        [](void* raw) {
            auto* r = static_cast<Receive*>(raw);
            char byte;
            r->socket.read_some(asio::buffer(&byte, 1), r->error);
            r->done = true;
            return 0;
        },
        &receive));
    platform::sleepFor(100ms);
    EXPECT_FALSE(receive.done.load()) << "the peer is silent, so the receive must still block";

    const auto before = SteadyClock::now();
    interruptReceive(server);
    const auto joined = thread.joinFor(2000ms);
    if (joined != Thread::JoinResult::Joined) {
        client.close(); // release the reader before failing, so the test can end
        thread.join();
    }
    EXPECT_EQ(joined, Thread::JoinResult::Joined);
    EXPECT_LT(SteadyClock::now() - before, 2s);
    EXPECT_TRUE(receive.error) << "an interrupted receive reports an error";
    EXPECT_TRUE(server.is_open());
}

} // namespace

// The bus server in the test's process, which reads its counts of the output held. Clients are
// raw sockets: the library would read for them.
#include <gtest/gtest.h>

#include "bus_test_support.hpp"
#include "zebd_server.hpp"

#include <thread>

namespace {

using bustest::Client;
using bustest::json;
using bustest::Raw;
using bustest::Var;

constexpr size_t kMiB = 1u << 20;
constexpr size_t kNotification = 256u << 10; // the payload of each one

class InProcessServer {
  public:
    explicit InProcessServer(zebd::OutputBounds bounds) {
        setenv("ZEB_SYSROOT", files.sysroot.c_str(), 1);
        context_ = zeb_create();
        if (context_ == nullptr || !zeb_loadDefinition(context_, files.definition.c_str()))
            throw std::runtime_error("cannot load the test plug-in");
        uv_loop_init(&loop_);
        server_ = std::make_unique<zebd::Server>(&loop_, context_, bounds);
        std::string error;
        if (!server_->listen(files.socket, &error))
            throw std::runtime_error(error);
        uv_async_init(&loop_, &stop_, [](uv_async_t *stop) {
            static_cast<zebd::Server *>(stop->data)->stop();
            uv_close(reinterpret_cast<uv_handle_t *>(stop), nullptr);
        });
        stop_.data = server_.get();
        thread_ = std::thread([this] { uv_run(&loop_, UV_RUN_DEFAULT); });
    }
    ~InProcessServer() {
        stop();
        server_.reset();
        uv_loop_close(&loop_);
        zeb_destroy(context_);
    }
    /* Stops the server; its counts once its loop has ended. */
    zebd::OutputCounts stop() {
        if (thread_.joinable()) {
            uv_async_send(&stop_);
            thread_.join();
        }
        return server_->outputCounts();
    }

    bustest::Daemon files; // the socket, definition and system root; never started

  private:
    zeb_t *context_ = nullptr;
    uv_loop_t loop_{};
    uv_async_t stop_{};
    std::unique_ptr<zebd::Server> server_;
    std::thread thread_;
};

void subscribe(Raw &raw, int subscriptions = 1) {
    for (int id = 1; id <= subscriptions; ++id)
        ASSERT_EQ(raw.exchange({{"id", id}, {"op", "subscribe"}}).count("error"), 0u);
}

void notify(Client &caller, size_t count) {
    ASSERT_EQ(caller.call("Test", "notify", {{"count", count}, {"size", kNotification}}), count)
        << caller.message();
}

// The indexes of the next `count` notifications, against those expected:
// 0 to `last` - 1, each `repeat` times.
void expectIndexes(Raw &raw, size_t last, int repeat = 1) {
    json seen = json::array(), expected = json::array();
    Var message;
    for (size_t i = 0; i < last * repeat; ++i) {
        expected.push_back(i / repeat);
        if (raw.receive(message))
            seen.push_back(message.toJson()["parameters"]["index"]);
    }
    EXPECT_EQ(seen, expected);
}

// Past the bound of all connections together, the connection whose output
// has waited longest goes first, although another holds more; the others
// get everything.
TEST(ServerOutput, PastTheTotalBoundTheSlowestReaderIsDroppedFirst) {
    constexpr size_t kTotal = 5 * kMiB;
    InProcessServer server{zebd::OutputBounds{zebd::kMaxClientOutput, kTotal}};
    Raw oldest(server.files.socket), twice(server.files.socket), reader(server.files.socket);
    Client caller(server.files.socket);
    ASSERT_NO_FATAL_FAILURE(subscribe(oldest));
    // More than the kernel buffers take: `oldest` keeps some of it waiting.
    ASSERT_NO_FATAL_FAILURE(notify(caller, 3));
    usleep(30000);
    // Now `twice` falls behind too, with twice as much as the others.
    ASSERT_NO_FATAL_FAILURE(subscribe(twice, 2));
    ASSERT_NO_FATAL_FAILURE(subscribe(reader));
    ASSERT_NO_FATAL_FAILURE(notify(caller, 6));
    expectIndexes(twice, 6, 2); // a younger reader loses nothing
    expectIndexes(reader, 6);
    EXPECT_TRUE(oldest.closedByPeer());
    zebd::OutputCounts counts = server.stop();
    EXPECT_LE(counts.mostByOne, zebd::kMaxClientOutput);
    EXPECT_LE(counts.mostByAll, kTotal);
    EXPECT_GT(counts.mostByAll, 3 * kMiB);
}

} // namespace

#include "platform/pipe.h"

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <thread>

#include "platform/environment.h"
#include "platform/files.h"
#include "support/temp_folder.h"
#include "support/thread_state.h"

namespace bw::platform {
namespace {

constexpr char kName[] = "\\\\.\\pipe\\MobileBackUp";

// Every test keeps its pipes in its own folder.
class PipeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.path().empty());
        ASSERT_TRUE(SetEnv("BRACKWATER_RUNTIME_DIR", folder_ / "run"));
    }

    std::unique_ptr<PipeServer> Serve(std::string_view name = kName) {
        std::string error;
        auto server = PipeServer::Create(name, error);
        EXPECT_NE(server, nullptr) << error;
        return server;
    }

    std::unique_ptr<PipeConnection> Connect(std::string_view name = kName, int timeoutMs = 2000) {
        std::string error;
        auto client = ConnectPipe(name, timeoutMs, error);
        EXPECT_NE(client, nullptr) << error;
        return client;
    }

    testing::TempFolder folder_;
};

TEST_F(PipeTest, NamesMapToSocketsInAPrivateFolderIgnoringPrefixAndCase) {
    const std::string path = PipeSocketPath(kName);
    EXPECT_EQ(path, folder_ / "run/pipes/mobilebackup");
    EXPECT_EQ(PipeSocketPath("MobileBackUp"), path);
    EXPECT_EQ(PipeSocketPath("\\\\.\\PIPE\\MOBILEBACKUP"), path);
    EXPECT_NE(PipeSocketPath("Mobile/BackUp"), path);
    EXPECT_EQ(PipeSocketPath("a/b").find('/', (folder_ / "run/pipes/").size()), std::string::npos);
    EXPECT_EQ(PipeSocketPath(""), "");
    EXPECT_EQ(PipeSocketPath("\\\\.\\pipe\\"), "");

    struct stat info {};
    ASSERT_EQ(::stat((folder_ / "run/pipes").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    // A long name still gives a path that fits a socket address, distinct per name.
    const std::string a = PipeSocketPath(std::string(300, 'a'));
    const std::string b = PipeSocketPath(std::string(300, 'b'));
    EXPECT_FALSE(a.empty());
    EXPECT_LT(a.size(), 100u);
    EXPECT_NE(a, b);
}

TEST_F(PipeTest, AFolderOthersCanEnterIsNotUsed) {
    ASSERT_TRUE(CreateFolders(folder_ / "run/pipes"));
    ASSERT_EQ(::chmod((folder_ / "run/pipes").c_str(), 0777), 0);
    EXPECT_EQ(PipeSocketPath(kName), "");
    std::string error;
    EXPECT_EQ(PipeServer::Create(kName, error), nullptr);
    EXPECT_FALSE(error.empty());
}

TEST_F(PipeTest, MessagesKeepTheirBoundariesBothWays) {
    auto server = Serve();
    ASSERT_NE(server, nullptr);
    auto client = Connect();
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(server->WaitForClient(2000));

    const std::vector<std::string> messages = {"first", "", std::string("a\0b", 3), "last one"};
    for (const std::string& message : messages)
        ASSERT_TRUE(client->Write(message));
    for (const std::string& message : messages)
        EXPECT_EQ(server->Read(2000), message);

    ASSERT_TRUE(server->Write("reply 1"));
    ASSERT_TRUE(server->Write("reply 2"));
    EXPECT_EQ(client->Read(2000), "reply 1");
    EXPECT_EQ(client->Read(2000), "reply 2");
    // Nothing more is there.
    EXPECT_EQ(client->Read(50), std::nullopt);
    EXPECT_TRUE(client->IsOpen());
}

TEST_F(PipeTest, LargeMessagesArriveWholeAndInOrder) {
    auto server = Serve();
    ASSERT_NE(server, nullptr);
    auto client = Connect();
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(server->WaitForClient(2000));

    std::string big(5 * 1024 * 1024 + 17, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 31 + i / 4096);
    // The writer blocks until the reader drains the socket, so it runs on its own thread.
    std::thread writer([&] {
        EXPECT_TRUE(client->Write(big));
        EXPECT_TRUE(client->Write("small"));
        EXPECT_TRUE(client->Write(std::string(32 * 1024, 'x')));  // exactly one piece
    });
    const auto first = server->Read(10000);
    writer.join();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->size(), big.size());
    EXPECT_TRUE(*first == big);
    EXPECT_EQ(server->Read(2000), "small");
    EXPECT_EQ(server->Read(2000), std::string(32 * 1024, 'x'));
}

TEST_F(PipeTest, AMessageOverTheLimitIsSkippedAndTheNextOneRead) {
    auto server = Serve();
    ASSERT_NE(server, nullptr);
    auto client = Connect();
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(server->WaitForClient(2000));
    std::thread writer([&] {
        EXPECT_TRUE(client->Write(std::string(kMaxPipeMessage + 1, 'z')));
        EXPECT_TRUE(client->Write("after"));
    });
    EXPECT_EQ(server->Read(20000), "after");
    writer.join();
}

TEST_F(PipeTest, WaitingForAClientTimesOutWhenNoneComes) {
    auto server = Serve();
    ASSERT_NE(server, nullptr);
    EXPECT_FALSE(server->WaitForClient(150));
    EXPECT_EQ(server->Read(10), std::nullopt);
    EXPECT_FALSE(server->Write("nobody"));

    // Without a server, clients and waiters give up after their time.
    std::string error;
    EXPECT_EQ(ConnectPipe("\\\\.\\pipe\\Nobody", 150, error), nullptr);
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(WaitForPipe("\\\\.\\pipe\\Nobody", 150));
    EXPECT_TRUE(WaitForPipe(kName, 0));
}

TEST_F(PipeTest, AClientMayConnectBeforeTheServerWaits) {
    auto server = Serve();
    ASSERT_NE(server, nullptr);
    auto client = Connect();
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(client->Write("early"));
    ASSERT_TRUE(server->WaitForClient(2000));
    EXPECT_EQ(server->Read(2000), "early");
}

TEST_F(PipeTest, AClientWaitsForAServerThatComesLater) {
    std::atomic<pid_t> clientThread{0};
    std::atomic<bool> found{false};
    std::atomic<bool> returned{false};
    std::unique_ptr<PipeConnection> client;
    std::thread early([&] {
        clientThread = testing::CurrentThreadId();
        found = WaitForPipe(kName, 5000);
        returned = true;
        client = Connect(kName, 5000);
    });
    // The client has looked for the server, found none, and waits for its next look.
    EXPECT_TRUE(testing::WaitUntilBlockedIn(clientThread, SYS_clock_nanosleep, returned));
    EXPECT_FALSE(returned);
    std::string error;
    std::unique_ptr<PipeServer> server = PipeServer::Create(kName, error);
    early.join();
    EXPECT_TRUE(found);
    ASSERT_NE(server, nullptr) << error;
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(server->WaitForClient(2000));
    ASSERT_TRUE(client->Write("hello"));
    EXPECT_EQ(server->Read(2000), "hello");
}

TEST_F(PipeTest, APeerThatGoesAwayEndsReadsAndWrites) {
    auto server = Serve();
    ASSERT_NE(server, nullptr);
    auto client = Connect();
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(server->WaitForClient(2000));
    ASSERT_TRUE(client->Write("last words"));
    client.reset();
    // What was sent before the close still arrives; then the end.
    EXPECT_EQ(server->Read(2000), "last words");
    EXPECT_EQ(server->Read(2000), std::nullopt);
    // No SIGPIPE: the write simply fails.
    EXPECT_FALSE(server->Write("anyone?"));

    // The server takes the next client.
    auto second = Connect();
    ASSERT_NE(second, nullptr);
    ASSERT_TRUE(server->WaitForClient(2000));
    ASSERT_TRUE(server->Write("welcome"));
    EXPECT_EQ(second->Read(2000), "welcome");

    server.reset();
    EXPECT_EQ(second->Read(2000), std::nullopt);
    EXPECT_FALSE(second->Write("gone"));
    EXPECT_FALSE(PathExists(PipeSocketPath(kName)));
}

TEST_F(PipeTest, DisconnectEndsOnlyTheCurrentClient) {
    auto server = Serve();
    ASSERT_NE(server, nullptr);
    auto client = Connect();
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(server->WaitForClient(2000));
    server->Disconnect();
    EXPECT_EQ(client->Read(2000), std::nullopt);
    EXPECT_TRUE(WaitForPipe(kName, 0));
    server->Close();
    EXPECT_FALSE(WaitForPipe(kName, 0));
    EXPECT_FALSE(server->WaitForClient(10));
}

TEST_F(PipeTest, ASecondServerOfTheSameNameIsRefusedWhileTheFirstLives) {
    auto first = Serve();
    ASSERT_NE(first, nullptr);
    std::string error;
    EXPECT_EQ(PipeServer::Create("\\\\.\\pipe\\mobilebackup", error), nullptr);
    EXPECT_NE(error.find("running"), std::string::npos) << error;
    // Other names are free.
    auto other = Serve("\\\\.\\pipe\\Other");
    ASSERT_NE(other, nullptr);

    // The first still serves its clients.
    auto client = Connect();
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(first->WaitForClient(2000));
    ASSERT_TRUE(client->Write("to the first"));
    EXPECT_EQ(first->Read(2000), "to the first");

    first.reset();
    auto second = Serve();
    ASSERT_NE(second, nullptr);
    EXPECT_TRUE(WaitForPipe(kName, 0));
}

TEST_F(PipeTest, ASocketLeftByADeadServerIsReplaced) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string error;
        auto server = PipeServer::Create(kName, error);
        // Ends without cleaning up, as a crash would.
        ::_exit(server != nullptr ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_TRUE(PathExists(PipeSocketPath(kName)));
    // Nobody listens behind the old socket, so nobody waits for it either.
    EXPECT_FALSE(WaitForPipe(kName, 0));

    auto server = Serve();
    ASSERT_NE(server, nullptr);
    auto client = Connect();
    ASSERT_NE(client, nullptr);
    ASSERT_TRUE(server->WaitForClient(2000));
    ASSERT_TRUE(client->Write("fresh"));
    EXPECT_EQ(server->Read(2000), "fresh");
}

}  // namespace
}  // namespace bw::platform

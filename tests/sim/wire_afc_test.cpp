// The AFC service on a socket: a client speaking the wire protocol against ServeAfc over the
// simulated runtime's AFC functions, judged by the bytes in the image's media folder. Every test
// ends the session from the client's side and checks that the server left nothing open.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "afc_wire_client.h"
#include "md_support.h"
#include "wire/afc_server.h"

namespace bw::sim::wiretest {
namespace {

namespace fs = std::filesystem;
using mdtest::Counters;
using mdtest::OpenAfc;

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Noise(size_t size, uint32_t seed) {
    std::mt19937 generator(seed);
    std::string out(size, '\0');
    for (char& byte : out)
        byte = static_cast<char>(generator());
    return out;
}

std::map<std::string, std::string> PairsOf(const std::vector<std::string>& strings) {
    std::map<std::string, std::string> pairs;
    for (size_t i = 0; i + 1 < strings.size(); i += 2)
        pairs[strings[i]] = strings[i + 1];
    return pairs;
}

class WireAfc : public mdtest::SimMdTest {
  protected:
    void SetUp() override {
        SimMdTest::SetUp();
        image_ = MakeImage();
        udid_ = Attach(image_);
        afc_ = OpenAfc(Device(udid_));
        ASSERT_NE(afc_, nullptr);
        media_ = image_ + "/fs/var/mobile/Media";
        int fds[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        client_ = std::make_unique<AfcWireClient>(fds[0]);
        serverFd_ = fds[1];
        // As a wire server does once a session ends: the socket closes, so the client sees it.
        server_ = std::thread([this] {
            wire::ServeAfc(serverFd_, afc_);
            ::shutdown(serverFd_, SHUT_RDWR);
        });
    }

    void TearDown() override {
        EndSession();
        const BwSimCounters counters = Counters();
        EXPECT_EQ(counters.afcFiles, 0) << "files the server opened are still open";
        EXPECT_EQ(counters.directories, 0);
        EXPECT_EQ(counters.keyValueIterators, 0);
        ::close(serverFd_);
        if (afc_ != nullptr) {
            EXPECT_EQ(AFCConnectionClose(afc_), 0);
        }
        SimMdTest::TearDown();
    }

    // Closes the client's end and waits for the server to return.
    void EndSession() {
        if (!server_.joinable()) return;
        client_->Close();
        server_.join();
    }

    // The server ended the session on its own: the stream ends without an answer, and the
    // server has returned.
    void ExpectServerEnded() {
        EXPECT_EQ(client_->Receive().has_value(), false) << "an answer after the session ended";
        server_.join();
    }

    void WriteMediaFile(const std::string& name, const std::string& bytes) {
        fs::create_directories(fs::path(media_ + "/" + name).parent_path());
        std::ofstream(media_ + "/" + name, std::ios::binary) << bytes;
    }

    std::string image_;
    std::string udid_;
    std::string media_;
    AFCConnectionRef afc_ = nullptr;
    std::unique_ptr<AfcWireClient> client_;
    int serverFd_ = -1;
    std::thread server_;
};

// --- What a host reads ---

TEST_F(WireAfc, DeviceInfoCarriesTheRuntimesPairs) {
    AFCKeyValueRef direct = nullptr;
    ASSERT_EQ(AFCDeviceInfoOpen(afc_, &direct), 0);
    const std::map<std::string, std::string> expected = mdtest::ReadPairs(direct);

    const auto strings = client_->Strings(kOpGetDeviceInfo, "");
    ASSERT_TRUE(strings.has_value());
    ASSERT_EQ(strings->size() % 2, 0u) << "a key without its value";
    EXPECT_EQ(PairsOf(*strings), expected);
    EXPECT_EQ(expected.count("FSTotalBytes"), 1u);
    EXPECT_EQ(expected.count("Model"), 1u);
}

TEST_F(WireAfc, ListingNamesWhatTheFolderHolds) {
    WriteMediaFile("Listed/b.txt", "b");
    WriteMediaFile("Listed/a.txt", "a");
    WriteMediaFile("Listed/sub/c.txt", "c");
    std::vector<std::string> expected = {".", ".."};
    std::vector<std::string> onDisk;
    for (const auto& entry : fs::directory_iterator(media_ + "/Listed"))
        onDisk.push_back(entry.path().filename().string());
    std::sort(onDisk.begin(), onDisk.end());
    expected.insert(expected.end(), onDisk.begin(), onDisk.end());

    EXPECT_EQ(client_->Strings(kOpReadDirectory, "/Listed"), expected);
    EXPECT_EQ(client_->Strings(kOpReadDirectory, "Listed/"), expected);

    uint64_t status = 0;
    EXPECT_FALSE(client_->Strings(kOpReadDirectory, "/Missing", &status).has_value());
    EXPECT_EQ(status, 8u);
}

TEST_F(WireAfc, FileInfoTellsKindAndSize) {
    WriteMediaFile("Info/file.bin", std::string(12345, 'x'));
    const auto file = client_->Strings(kOpGetFileInfo, "/Info/file.bin");
    ASSERT_TRUE(file.has_value());
    const auto pairs = PairsOf(*file);
    EXPECT_EQ(pairs.at("st_ifmt"), "S_IFREG");
    EXPECT_EQ(pairs.at("st_size"), "12345");
    EXPECT_EQ(pairs.count("st_mtime"), 1u);

    const auto folder = client_->Strings(kOpGetFileInfo, "/Info");
    ASSERT_TRUE(folder.has_value());
    EXPECT_EQ(PairsOf(*folder).at("st_ifmt"), "S_IFDIR");

    uint64_t status = 0;
    EXPECT_FALSE(client_->Strings(kOpGetFileInfo, "/Info/none", &status).has_value());
    EXPECT_EQ(status, 8u);
}

TEST_F(WireAfc, ReadSeekAndTellFollowTheFile) {
    const std::string bytes = Noise(10000, 1);
    WriteMediaFile("Read/noise.bin", bytes);
    const uint64_t handle = client_->Open("/Read/noise.bin", 1);
    ASSERT_NE(handle, 0u);

    std::string got;
    for (;;) {
        const std::optional<std::string> block = client_->Read(handle, 4096);
        ASSERT_TRUE(block.has_value());
        if (block->empty()) break;
        EXPECT_LE(block->size(), 4096u);
        got += *block;
    }
    EXPECT_EQ(got, bytes);

    EXPECT_EQ(client_->Status(kOpFileSeek, U64(handle) + U64(0) + U64(1000)), 0u);
    EXPECT_EQ(client_->Read(handle, 10), bytes.substr(1000, 10));
    // From the end, backwards: the offset is signed.
    EXPECT_EQ(client_->Status(kOpFileSeek, U64(handle) + U64(2) + U64(static_cast<uint64_t>(-4))),
              0u);
    const std::optional<Answer> tell = client_->Request(kOpFileTell, U64(handle));
    ASSERT_TRUE(tell.has_value());
    EXPECT_EQ(tell->operation, kOpFileTellResult);
    EXPECT_EQ(FromU64(tell->parameters), 9996u);
    EXPECT_EQ(client_->Read(handle, 100), bytes.substr(9996));
    // An origin no seek has.
    EXPECT_EQ(client_->Status(kOpFileSeek, U64(handle) + U64(3) + U64(0)), 7u);

    EXPECT_EQ(client_->Status(kOpFileClose, U64(handle)), 0u);
}

TEST_F(WireAfc, ALargeReadIsAnsweredUpToTheBound) {
    const size_t bound = 4 * 1024 * 1024;
    const std::string bytes = Noise(bound + 100, 2);
    WriteMediaFile("big.bin", bytes);
    const uint64_t handle = client_->Open("/big.bin", 1);
    ASSERT_NE(handle, 0u);
    const std::optional<std::string> first = client_->Read(handle, 64u << 20);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->size(), bound);
    EXPECT_TRUE(*first == bytes.substr(0, bound));
    EXPECT_EQ(client_->Read(handle, 64u << 20), bytes.substr(bound));
    EXPECT_EQ(client_->Read(handle, 64u << 20), "");
}

// --- What a host changes ---

TEST_F(WireAfc, WritesLandInTheImage) {
    uint64_t status = 0;
    EXPECT_EQ(client_->Open("/NoFolder/new.bin", 3, &status), 0u);
    EXPECT_EQ(status, 8u);
    ASSERT_EQ(client_->Status(kOpMakeDirectory, Z("/Written/deeper")), 0u);
    EXPECT_TRUE(fs::is_directory(media_ + "/Written/deeper"));

    const uint64_t file = client_->Open("/Written/new.bin", 3);
    ASSERT_NE(file, 0u);
    const std::string first = Noise(70000, 3);
    const std::string second = "tail bytes";
    EXPECT_EQ(client_->Status(kOpFileWrite, U64(file), first), 0u);
    EXPECT_EQ(client_->Status(kOpFileWrite, U64(file), second), 0u);
    EXPECT_EQ(client_->Status(kOpFileClose, U64(file)), 0u);
    EXPECT_EQ(FileBytes(media_ + "/Written/new.bin"), first + second);

    // Appending, then cutting by handle and by path.
    const uint64_t append = client_->Open("/Written/new.bin", 5);
    ASSERT_NE(append, 0u);
    EXPECT_EQ(client_->Status(kOpFileWrite, U64(append), "++"), 0u);
    EXPECT_EQ(FileBytes(media_ + "/Written/new.bin"), first + second + "++");
    EXPECT_EQ(client_->Status(kOpFileSetSize, U64(append) + U64(100)), 0u);
    EXPECT_EQ(FileBytes(media_ + "/Written/new.bin"), first.substr(0, 100));
    EXPECT_EQ(client_->Status(kOpFileClose, U64(append)), 0u);
    EXPECT_EQ(client_->Status(kOpTruncate, U64(10) + Z("/Written/new.bin")), 0u);
    EXPECT_EQ(FileBytes(media_ + "/Written/new.bin"), first.substr(0, 10));
    // Cutting a path that does not exist creates nothing.
    EXPECT_EQ(client_->Status(kOpTruncate, U64(0) + Z("/Written/absent")), 8u);
    EXPECT_FALSE(fs::exists(media_ + "/Written/absent"));
}

TEST_F(WireAfc, AFileOpenedForReadingRefusesWrites) {
    WriteMediaFile("ro.txt", "keep");
    const uint64_t handle = client_->Open("/ro.txt", 1);
    ASSERT_NE(handle, 0u);
    const uint64_t status = client_->Status(kOpFileWrite, U64(handle), "lost");
    EXPECT_NE(status, 0u);
    EXPECT_NE(status, 0xDEADu);
    EXPECT_EQ(FileBytes(media_ + "/ro.txt"), "keep");
}

TEST_F(WireAfc, RenameAndRemoveChangeTheImage) {
    WriteMediaFile("Move/from.txt", "moved");
    EXPECT_EQ(client_->Status(kOpRenamePath, Z("/Move/from.txt") + Z("/Move/to.txt")), 0u);
    EXPECT_FALSE(fs::exists(media_ + "/Move/from.txt"));
    EXPECT_EQ(FileBytes(media_ + "/Move/to.txt"), "moved");
    EXPECT_EQ(client_->Status(kOpRenamePath, Z("/Move/from.txt") + Z("/Move/again.txt")), 8u);

    // A folder that still holds something stays, with the device's own answer.
    EXPECT_EQ(client_->Status(kOpRemovePath, Z("/Move")), 1u);
    EXPECT_TRUE(fs::exists(media_ + "/Move/to.txt"));
    EXPECT_EQ(client_->Status(kOpRemovePath, Z("/Move/to.txt")), 0u);
    EXPECT_FALSE(fs::exists(media_ + "/Move/to.txt"));
    EXPECT_EQ(client_->Status(kOpRemovePath, Z("/Move")), 0u);
    EXPECT_FALSE(fs::exists(media_ + "/Move"));
    EXPECT_EQ(client_->Status(kOpRemovePath, Z("/Move")), 8u);
}

TEST_F(WireAfc, RemovingWithContentsTakesTheTreeButNotWhereLinksPoint) {
    WriteMediaFile("Tree/a/b/c.txt", "c");
    WriteMediaFile("Tree/a/d.txt", "d");
    WriteMediaFile("Kept/target.txt", "kept");
    fs::create_directory_symlink(media_ + "/Kept", media_ + "/Tree/a/link");
    EXPECT_EQ(client_->Status(kOpRemovePathAndContents, Z("/Tree")), 0u);
    EXPECT_FALSE(fs::exists(fs::symlink_status(media_ + "/Tree")));
    EXPECT_EQ(FileBytes(media_ + "/Kept/target.txt"), "kept");
    EXPECT_EQ(client_->Status(kOpRemovePathAndContents, Z("/Tree")), 8u);
}

// --- Handles ---

TEST_F(WireAfc, HandlesAreTheServersOwnAndDieWithTheSession) {
    WriteMediaFile("h1.txt", "one");
    WriteMediaFile("h2.txt", "two");
    const uint64_t first = client_->Open("/h1.txt", 1);
    const uint64_t second = client_->Open("/h2.txt", 2);
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(second, 2u);
    EXPECT_EQ(Counters().afcFiles, 2);

    // A handle never handed out, and one closed already.
    EXPECT_EQ(client_->Status(kOpFileRead, U64(99) + U64(10)), 7u);
    EXPECT_EQ(client_->Status(kOpFileWrite, U64(99), "x"), 7u);
    EXPECT_EQ(client_->Status(kOpFileClose, U64(first)), 0u);
    EXPECT_EQ(client_->Status(kOpFileClose, U64(first)), 7u);
    EXPECT_EQ(client_->Status(kOpFileRead, U64(first) + U64(10)), 7u);
    EXPECT_EQ(client_->Open("/h1.txt", 1), 3u) << "a closed handle's number came back";

    // The peer goes away with two files open: the server closes them.
    EndSession();
    EXPECT_EQ(Counters().afcFiles, 0);
    EXPECT_EQ(FileBytes(media_ + "/h2.txt"), "two");
}

TEST_F(WireAfc, ShuttingTheSocketDownEndsAWaitingSession) {
    WriteMediaFile("held.txt", "h");
    ASSERT_NE(client_->Open("/held.txt", 1), 0u);
    // The answer came, so the server is at (or on its way to) its wait for the next request.
    ASSERT_EQ(::shutdown(serverFd_, SHUT_RDWR), 0);
    ExpectServerEnded();
    EXPECT_EQ(Counters().afcFiles, 0);
}

TEST_F(WireAfc, LocksFollowTheFlockBits) {
    WriteMediaFile("lock.txt", "l");
    const uint64_t one = client_->Open("/lock.txt", 1);
    const uint64_t two = client_->Open("/lock.txt", 1);
    ASSERT_NE(one, 0u);
    ASSERT_NE(two, 0u);
    EXPECT_EQ(client_->Status(kOpFileLock, U64(one) + U64(2 | 4)), 0u);
    EXPECT_EQ(client_->Status(kOpFileLock, U64(two) + U64(2 | 4)), 19u);
    EXPECT_EQ(client_->Status(kOpFileLock, U64(one) + U64(8 | 4)), 0u);
    EXPECT_EQ(client_->Status(kOpFileLock, U64(two) + U64(1 | 4)), 0u);
    EXPECT_EQ(client_->Status(kOpFileLock, U64(two) + U64(0)), 7u);
}

// --- Statuses from the runtime ---

TEST_F(WireAfc, RuntimeFailuresBecomeWireStatuses) {
    WriteMediaFile("fail.txt", "f");
    const uint64_t handle = client_->Open("/fail.txt", 1);
    ASSERT_NE(handle, 0u);
    ASSERT_EQ(BwSimInjectFailure("AFCFileRefRead", nullptr, 4, 1), 0);
    EXPECT_EQ(client_->Status(kOpFileRead, U64(handle) + U64(1)), 4u);
    // A mobile device error names the same condition in its low byte.
    ASSERT_EQ(BwSimInjectFailure("AFCDirectoryCreate", nullptr, static_cast<int>(0xE8000003u), 1),
              0);
    EXPECT_EQ(client_->Status(kOpMakeDirectory, Z("/x")), 3u);
    ASSERT_EQ(BwSimInjectFailure("AFCRemovePath", nullptr, 12345, 1), 0);
    EXPECT_EQ(client_->Status(kOpRemovePath, Z("/fail.txt")), 1u);
    EXPECT_EQ(client_->Read(handle, 10), "f") << "a failure answered ends nothing";
}

TEST_F(WireAfc, ADeviceThatLeftEndsTheSession) {
    WriteMediaFile("gone.txt", "g");
    ASSERT_NE(client_->Open("/gone.txt", 1), 0u);
    ASSERT_EQ(BwSimDetach(udid_.c_str()), 0);
    EXPECT_EQ(client_->Status(kOpGetFileInfo, Z("/gone.txt")), 11u);
    ExpectServerEnded();
}

// --- Hostile packets ---

TEST_F(WireAfc, AnswersCarryTheRequestsNumber) {
    for (const uint64_t number : {uint64_t{7}, uint64_t{0}, ~uint64_t{0}}) {
        ASSERT_TRUE(client_->SendRaw(RawHeader(40, 40, number, kOpGetDeviceInfo)));
        const std::optional<Answer> answer = client_->Receive();
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(answer->number, number);
        EXPECT_EQ(answer->operation, kOpData);
    }
}

TEST_F(WireAfc, ArgumentsThatAreWrongAreRefusedAndTheSessionGoesOn) {
    WriteMediaFile("ok.txt", "ok");
    // A path without its NUL, and one longer than any phone takes.
    EXPECT_EQ(client_->Status(kOpGetFileInfo, "/ok.txt"), 7u);
    EXPECT_EQ(client_->Status(kOpRemovePath, "/ok.txt"), 7u);
    EXPECT_EQ(client_->Status(kOpGetFileInfo, Z(std::string(2000, 'a').insert(0, 1, '/'))), 7u);
    EXPECT_EQ(client_->Status(kOpRenamePath, Z("/ok.txt") + "/no-nul"), 7u);
    // Parameters cut short.
    EXPECT_EQ(client_->Status(kOpFileRead, U64(1)), 7u);
    EXPECT_EQ(client_->Status(kOpFileSeek, U64(1) + U64(0)), 7u);
    EXPECT_EQ(client_->Status(kOpFileOpen, "\x01\x00"), 7u);
    // Modes no open has, also one whose low half is a mode.
    for (const uint64_t mode : {uint64_t{0}, uint64_t{7}, (uint64_t{1} << 32) | 1}) {
        uint64_t status = 0;
        EXPECT_EQ(client_->Open("/ok.txt", mode, &status), 0u);
        EXPECT_EQ(status, 7u) << mode;
    }
    // Operations no phone knows, answers sent as requests, and one this device lacks.
    EXPECT_EQ(client_->Status(0x99, ""), 6u);
    EXPECT_EQ(client_->Status(kOpStatus, U64(0)), 6u);
    EXPECT_EQ(client_->Status(kOpData, "data"), 6u);
    EXPECT_EQ(client_->Status(kOpMakeLink, U64(2) + Z("/ok.txt") + Z("/link")), 15u);
    EXPECT_FALSE(fs::exists(fs::symlink_status(media_ + "/link")));
    EXPECT_EQ(FileBytes(media_ + "/ok.txt"), "ok");

    const auto info = client_->Strings(kOpGetFileInfo, "/ok.txt");
    ASSERT_TRUE(info.has_value());
    EXPECT_EQ(PairsOf(*info).at("st_size"), "2");
}

TEST_F(WireAfc, AShortHeaderEndsTheSessionQuietly) {
    WriteMediaFile("open.txt", "o");
    ASSERT_NE(client_->Open("/open.txt", 1), 0u);
    ASSERT_TRUE(client_->SendRaw(RawHeader(40, 40, 5, kOpGetDeviceInfo).substr(0, 20)));
    ::shutdown(client_->fd(), SHUT_WR);
    ExpectServerEnded();
}

TEST_F(WireAfc, APacketCutShortEndsTheSession) {
    ASSERT_TRUE(client_->SendRaw(RawHeader(40 + 100, 40 + 100, 5, kOpGetFileInfo) + "/abc"));
    ::shutdown(client_->fd(), SHUT_WR);
    ExpectServerEnded();
}

TEST_F(WireAfc, AnotherMagicEndsTheSessionWithoutAnswer) {
    ASSERT_TRUE(client_->SendRaw(RawHeader(40, 40, 1, kOpGetDeviceInfo, "CFA6LPAB")));
    ExpectServerEnded();
}

class WireAfcLengths : public WireAfc,
                       public ::testing::WithParamInterface<std::pair<uint64_t, uint64_t>> {};

// Lengths that cannot frame a packet: answered "header invalid" with the packet's number, then
// the session ends (the rest of the stream has no frame any more). The huge ones are refused
// before anything is allocated or read.
TEST_P(WireAfcLengths, AreAnsweredAndEndTheSession) {
    WriteMediaFile("open.txt", "o");
    ASSERT_NE(client_->Open("/open.txt", 1), 0u);
    const auto [entire, self] = GetParam();
    ASSERT_TRUE(client_->SendRaw(RawHeader(entire, self, 42, kOpGetFileInfo)));
    const std::optional<Answer> answer = client_->Receive();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->number, 42u);
    EXPECT_EQ(StatusOf(answer), 2u);
    ExpectServerEnded();
}

INSTANTIATE_TEST_SUITE_P(
    Hostile, WireAfcLengths,
    ::testing::Values(std::make_pair(uint64_t{40}, uint64_t{39}),       // below the header
                      std::make_pair(uint64_t{0}, uint64_t{0}),         // nothing at all
                      std::make_pair(uint64_t{48}, uint64_t{56}),       // parameters past the end
                      std::make_pair(uint64_t{1} << 40, uint64_t{48}),  // a terabyte
                      std::make_pair(~uint64_t{0}, ~uint64_t{0}),       // all ones
                      std::make_pair(uint64_t{40} + (8u << 20), uint64_t{40})));  // past the bound

}  // namespace
}  // namespace bw::sim::wiretest

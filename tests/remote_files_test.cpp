// The mount's file operations over the real service loop on the simulated
// cable: listings and copies kept for the timeout, files stored whole when
// closed, refusals and a lost line as errors.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>

#include "mount/remote_files.h"
#include "tests/support/fixtures.h"
#include "tests/support/one_session.h"

using namespace quorvantix::mount;

namespace {

struct MountedOnSim : testing::Test, Served {
  Strings names(const std::string& path) {
    FolderEntries entries;
    EXPECT_EQ(files.list(path, entries), 0) << path;
    Strings listed;
    for (const auto& entry : entries) listed.push_back(entry.first);
    std::sort(listed.begin(), listed.end());
    return listed;
  }
  Bytes contents(const std::string& path) {
    std::uint64_t handle = 0;
    EXPECT_EQ(files.open(path, O_RDONLY, handle), 0) << path;
    Bytes bytes(1 << 16);
    const int got = files.read(handle, reinterpret_cast<char*>(bytes.data()), bytes.size(), 0);
    files.release(handle);
    bytes.resize(static_cast<std::size_t>(std::max(got, 0)));
    return bytes;
  }
  int write(std::uint64_t handle, const Bytes& bytes, off_t at = 0) {
    return files.write(handle, reinterpret_cast<const char*>(bytes.data()), bytes.size(), at);
  }
  Attributes attributes(const std::string& path, int expected = 0) {
    Attributes found;
    EXPECT_EQ(files.attributes(path, found), expected) << path;
    return found;
  }
  std::size_t sent() const { return pair.cable.sent_by(SimCable::b).size(); }
  // Runs `body` against the service, its console kept off the test's output.
  void quietly(const std::function<void()>& body) { console_of([&] { run(body); }); }

  ScratchDir scratch;
  OneSession source{session};
  RemoteFiles files{source, scratch, pair.clock, 20s};
};

}  // namespace

// Listings and copies serve within the timeout, and a name the listing cuts
// only by its whole name. Written files reach the service whole only when
// closed. Stores the service refuses, and names the line cannot carry, fail
// with their errno.
TEST_F(MountedOnSim, ServesWithinTheTimeoutStoresWholeOnlyWhenClosedAndFailsARefusalWithItsErrno) {
  const std::string exact(30, 'e');
  const Bytes written = pattern_bytes(3000, 4);
  write_file(remote / "a.txt", pattern_bytes(1234));
  ASSERT_EQ(mkdir((remote / "sub").c_str(), 0755), 0);
  write_file(remote / "sub/s.bin", pattern_bytes(3000, 2));
  write_file(remote / exact, pattern_bytes(7));
  write_file(remote / "keep.txt", pattern_bytes(2000));
  const Strings listed = {"a.txt", exact, "keep.txt", "sub"}, with_new = {"a.txt", exact, "keep.txt", "new.bin", "sub"};
  quietly([&] {
    EXPECT_EQ(names("/"), listed);
    EXPECT_EQ(attributes("/a.txt").size, 1234);
    EXPECT_TRUE(attributes("/sub").is_dir);
    EXPECT_EQ(contents("/a.txt"), pattern_bytes(1234));
    std::size_t before = sent();
    EXPECT_EQ(names("/"), listed);
    EXPECT_EQ(contents("/a.txt"), pattern_bytes(1234));
    EXPECT_EQ(sent(), before);  // both from what is kept
    pair.clock.sleep_for(20s);
    EXPECT_EQ(contents("/a.txt"), pattern_bytes(1234));
    EXPECT_GT(sent(), before);
    EXPECT_EQ(contents("/sub/s.bin"), pattern_bytes(3000, 2));
    attributes("/missing", -ENOENT);

    std::uint64_t handle = 0;
    ASSERT_EQ(files.create("/new.bin", handle), 0);
    EXPECT_EQ(write(handle, Bytes(written.begin(), written.begin() + 1000)), 1000);
    EXPECT_EQ(write(handle, Bytes(written.begin() + 1000, written.end()), 1000), 2000);
    EXPECT_FALSE(exists(remote / "new.bin"));
    EXPECT_EQ(names("/"), with_new);
    EXPECT_EQ(files.flush(handle), 0);
    EXPECT_EQ(read_file(remote / "new.bin"), written);
    EXPECT_EQ(files.release(handle), 0);
    before = sent();
    EXPECT_EQ(names("/"), with_new);
    EXPECT_GT(sent(), before);  // the store dropped the listing
    before = sent();
    EXPECT_EQ(contents("/new.bin"), written);  // what was stored is the copy
    EXPECT_EQ(sent(), before);
    // Written into from its contents, stored when released; then cut by name.
    Bytes kept = pattern_bytes(2000);
    ASSERT_EQ(files.open("/keep.txt", O_WRONLY, handle), 0);
    EXPECT_EQ(write(handle, {'X', 'Y'}, 5), 2);
    EXPECT_EQ(files.release(handle), 0);
    kept[5] = 'X', kept[6] = 'Y';
    EXPECT_EQ(read_file(remote / "keep.txt"), kept);
    EXPECT_EQ(files.truncate("/keep.txt", 10), 0);
    EXPECT_EQ(read_file(remote / "keep.txt"), Bytes(kept.begin(), kept.begin() + 10));
    EXPECT_EQ(names("/"), with_new);
    before = sent();
    ASSERT_EQ(files.open("/keep.txt", O_RDWR, handle), 0);
    EXPECT_EQ(files.release(handle), 0);
    EXPECT_EQ(sent(), before);  // nothing written, nothing stored

    service.tree->set_read_only(true);
    EXPECT_EQ(files.create("/" + std::string(57, 'n'), handle), -ENAMETOOLONG);
    EXPECT_EQ(files.create("/tab\tname", handle), -EINVAL);
    ASSERT_EQ(files.create("/" + std::string(55, 'm'), handle), 0);
    EXPECT_EQ(write(handle, pattern_bytes(3000)), 3000);
    EXPECT_EQ(files.flush(handle), -ENAMETOOLONG);  // the name and the size outgrow the header
    files.release(handle);
    ASSERT_EQ(files.create("/refused.txt", handle), 0);
    EXPECT_EQ(write(handle, pattern_bytes(100)), 100);
    EXPECT_EQ(files.flush(handle), -EACCES);
    before = sent();
    EXPECT_EQ(files.release(handle), 0);
    EXPECT_EQ(sent(), before);  // not tried again
    EXPECT_EQ(source.given_up, 0);
  });
  EXPECT_EQ(names_in(remote.path()), (Strings{"a.txt", exact, "keep.txt", "new.bin", "sub"}));
}

// Checkpoint files: atomic replacement (through symbolic links, never of a special file), its
// failures (each leaving no temporary file behind), reads refused for special files, and a writer
// killed at random moments.

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <iterator>
#include <random>
#include <thread>

#include "checkpoint_support.hpp"
#include "core/table_test.hpp"

namespace ovrel::checkpoint {
namespace {

namespace fs = std::filesystem;
using testing::Kit;
using testing::ScratchDir;

std::string message_of(const auto& result) {
  return result ? std::string("ok") : result.error().message();
}

std::vector<std::string> temp_files(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(".tmp", 0) == 0) out.push_back(name);
  }
  return out;
}

TEST(CheckpointFile, SavedFileLoadsAndReplacesTheOldOneWithOwnerOnlyBits) {
  ScratchDir dir;
  const fs::path path = dir.path / "state.ckpt";
  { std::ofstream(path) << "old"; }
  chmod(path.c_str(), 0644);
  const mode_t old_mask = umask(022);
  CusumDetector detector = Kit<CusumDetector>::make();
  testing::feed(detector, 0, 20);
  const auto saved = save_checkpoint_file(detector, path, PayloadCodec::Json);
  umask(old_mask);
  ASSERT_TRUE(saved) << saved.error().message();
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_TRUE(temp_files(dir.path).empty());
  const CheckpointEnvelope envelope = read_checkpoint_file(path).value();
  EXPECT_EQ(envelope.payload_codec, PayloadCodec::Json);
  CusumDetector restored = Kit<CusumDetector>::make();
  ASSERT_TRUE(load_checkpoint_file(restored, path));
  EXPECT_EQ(restored.state(), detector.state());
  EXPECT_EQ(load_state_from_checkpoint_file(path, "cusum").error().message(),
            "checkpoint payload deserialization failed (codec=json): missing field "
            "`log_run_probs` at line 1 column " +
                std::to_string(envelope.payload.size()));
}

TEST(CheckpointFile, OperationsLeaveNoTemporaryFile) {
  ScratchDir dir;
  fs::create_directory(dir.path / "taken");
  const fs::path old_cwd = fs::current_path();
  fs::current_path(dir.path);
  const auto rows = test_support::data_rows("checkpoint_files.txt");
  ASSERT_EQ(rows.size(), 13u);
  for (const auto& row : rows) {
    std::string path = row.at(1), expected = row.at(2);
    for (std::string* s : {&path, &expected}) {
      for (const auto& [from, to] : {std::pair<std::string, std::string>{"{dir}", dir.path},
                                     {"{nul}", std::string(1, '\0')}}) {
        for (std::size_t at; (at = s->find(from)) != std::string::npos;)
          s->replace(at, from.size(), to);
      }
    }
    const auto text = [](const auto& r) { return r ? std::string("ok") : r.error().display(); };
    EXPECT_EQ(row[0] == "write"  ? text(write_checkpoint_file_atomic(path, "text"))
              : row[0] == "read" ? text(read_checkpoint_file(path))
                                 : text(sync_parent_directory(path)),
              expected);
    EXPECT_TRUE(temp_files(dir.path).empty()) << expected;
  }
  fs::current_path(old_cwd);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 2);
}

// The largest state of a detector with `runs` run lengths (BOCPD) and `events` pending events,
// every number at the longest text it can take.
template <class S>
S longest_state(std::size_t runs, std::size_t events) {
  constexpr std::uint64_t u = UINT64_MAX;
  constexpr std::int64_t i = INT64_MIN;
  constexpr double f = -2.2250738585072014e-308;
  S s;
  s.t = s.next_arrival_seq = u;
  s.watermark_ns = i;
  s.late_data = {u, u, u, u, u, u};
  s.alert_gate = {.policy = {f, f, u, u}, .armed = false, .last_alert_t = u};
  for (std::size_t k = 0; k < events; ++k) s.pending_events.push_back({f, i, u});
  if constexpr (std::is_same_v<S, BocpdState>) {
    s.log_run_probs.assign(runs, f);
    s.run_stats.assign(runs, GaussianStats{u, f, f});
  } else if constexpr (std::is_same_v<S, CusumState>) {
    s.score = f;
    s.steps_since_alert = u;
  } else {
    s.n = s.steps_since_alert = u;
    s.running_mean = s.cumulative_sum = s.cumulative_min = f;
  }
  return s;
}

template <class D>
void check_size_limit(D detector, std::size_t runs, std::size_t events, const fs::path& path) {
  const std::uint64_t limit = checkpoint_size_limit(detector);
  detector.load_state(longest_state<typename D::State>(runs, events));
  const std::string text =
      encode_checkpoint_envelope(save_checkpoint(detector, PayloadCodec::Json).value()).value();
  EXPECT_LE(4 * text.size() + (std::uint64_t{64} << 20), limit) << text.size();
  // Sparse: read, it would be refused as JSON instead.
  { std::ofstream create(path); }
  fs::resize_file(path, limit + 1);
  const std::string refusal = "checkpoint file '" + path.string() + "' is " +
                              std::to_string(limit + 1) +
                              " bytes, too large to read; the largest checkpoint this detector "
                              "can load is about " +
                              std::to_string(limit) + " bytes";
  EXPECT_EQ(load_checkpoint_file(detector, path).error(), OvrelError::invalid_input(refusal));
  EXPECT_EQ(message_of(read_checkpoint_file(path)),
            "checkpoint envelope JSON parse failed: expected value at line 1 column 1");
}

OVREL_ROW_SUITE(CheckpointSizeLimit, "checkpoint_size_limits.txt", 6);

TEST_P(CheckpointSizeLimit, HoldsTheLargestStateAndRefusesALargerFileUnread) {
  const auto& row = GetParam();
  ScratchDir dir;
  const std::size_t runs = std::stoul(row.at(2)) + 1, events = std::stoul(row.at(3));
  const LateDataPolicy policy =
      events == 0 ? LateDataPolicy::reject()
                  : LateDataPolicy::buffer_within_window(1000, events, OverflowPolicy::Error);
  const fs::path path = dir.path / "large.ckpt";
  if (row.at(1) == "bocpd") {
    BocpdConfig config;
    config.late_data_policy = policy;
    config.max_run_length = runs - 1;
    check_size_limit(BocpdDetector::create(config).value(), runs, events, path);
  } else if (row[1] == "cusum") {
    check_size_limit(CusumDetector::create({.late_data_policy = policy}).value(), 0, events, path);
  } else {
    check_size_limit(PageHinkleyDetector::create({.late_data_policy = policy}).value(), 0, events,
                     path);
  }
}

// A save through symbolic links replaces the final target and leaves every link as it was: an
// absolute link, a relative one resolved from its own directory (not the current one), a chain,
// and a dangling link, whose target the save creates.
TEST(CheckpointFile, SaveThroughSymbolicLinksReplacesTheFinalTarget) {
  ScratchDir dir;
  const fs::path links = dir.path / "links", data = dir.path / "data";
  fs::create_directories(links);
  fs::create_directories(data);
  struct Case {
    std::vector<std::pair<std::string, std::string>> chain;  // link name in links/ -> its text
    std::string target;                                      // in data/
    bool existed;
  };
  const std::vector<Case> cases = {
      {{{"abs", (data / "a.ckpt").string()}}, "a.ckpt", true},
      {{{"rel", "../data/b.ckpt"}}, "b.ckpt", true},
      {{{"first", "second"}, {"second", "../data/c.ckpt"}}, "c.ckpt", true},
      {{{"dangling", "../data/new.ckpt"}}, "new.ckpt", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.chain.front().first);
    if (c.existed) std::ofstream(data / c.target) << "old";
    for (const auto& [name, text] : c.chain) fs::create_symlink(text, links / name);
    ASSERT_TRUE(write_checkpoint_file_atomic(links / c.chain.front().first, "text"));
    for (const auto& [name, text] : c.chain) {
      ASSERT_TRUE(fs::is_symlink(links / name));
      EXPECT_EQ(fs::read_symlink(links / name), text);
    }
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(data / c.target)));
    std::ifstream in(data / c.target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "text");
    EXPECT_TRUE(temp_files(links).empty());
    EXPECT_TRUE(temp_files(data).empty());
  }
  fs::create_symlink("loop", links / "loop");
  EXPECT_EQ(message_of(write_checkpoint_file_atomic(links / "loop", "text")),
            "refused to replace checkpoint file '" + (links / "loop").string() +
                "': Too many levels of symbolic links (os error 40)");
}

// Bounds a child's memory, so a read that never ends fails there; not under AddressSanitizer,
// whose shadow memory alone exceeds any such cap.
void cap_address_space() {
#if !defined(__SANITIZE_ADDRESS__)
  const rlimit cap{1 << 30, 1 << 30};
  setrlimit(RLIMIT_AS, &cap);
#endif
}

// Runs `body` in a child and reports its exit code, or -1 when it has not finished within ten
// seconds (then it is killed): a save or load that blocks shows as a failure, not a hung test.
int exit_code_within_deadline(const std::function<int()>& body) {
  const pid_t child = fork();
  if (child == 0) {
    try {
      _exit(body());
    } catch (...) {  // std::bad_alloc under the cap: never back into the test runner
      _exit(2);
    }
  }
  for (int waited_ms = 0; waited_ms < 10000; waited_ms += 10) {
    int wstatus = 0;
    if (waitpid(child, &wstatus, WNOHANG) == child) {
      return WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(child, SIGKILL);
  waitpid(child, nullptr, 0);
  return -1;
}

// Reads `path` in a child under the address-space cap: 0 when refused as not a regular file.
int refused_read_in_child(const fs::path& path, const std::string& kind) {
  const std::string expected =
      "failed reading checkpoint file '" + path.string() + "': not a regular file (" + kind + ")";
  return exit_code_within_deadline([&] {
    cap_address_space();
    const auto r = read_checkpoint_file(path);
    return !r && r.error().message() == expected ? 0 : 1;
  });
}

// Saving onto anything but a regular file is refused before a temporary file exists, and the node
// stays what it was (a rename would have replaced it: as root, even /dev/null). Loading from one
// is refused before a byte is read: a FIFO whose writer stays silent would block the read for
// good, and /dev/zero would be read until memory ran out (so the loads run in a child under an
// address-space cap and a deadline). Each kind is named directly and through a symbolic link.
TEST(CheckpointFile, SpecialFilesAreNeitherReplacedNorRead) {
  ScratchDir dir;
  struct Kind {
    std::string name, text;
    std::function<bool(const fs::path&)> make;
  };
  const std::vector<Kind> kinds = {
      {"dir", "a directory", [](const fs::path& p) { return fs::create_directory(p); }},
      {"fifo", "a FIFO", [](const fs::path& p) { return mkfifo(p.c_str(), 0600) == 0; }},
      {"socket", "a socket",
       [](const fs::path& p) {
         sockaddr_un address{};
         address.sun_family = AF_UNIX;
         std::strncpy(address.sun_path, p.c_str(), sizeof(address.sun_path) - 1);
         const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
         const bool ok = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
         close(fd);
         return ok;
       }},
      // A node of /dev/null's numbers, where making one is allowed: replacing it is harmless.
      {"null", "a character device",
       [](const fs::path& p) { return mknod(p.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0; }},
  };
  int tried = 0;
  for (const Kind& kind : kinds) {
    const fs::path node = dir.path / kind.name;
    if (!kind.make(node)) continue;
    ++tried;
    struct stat before {};
    ASSERT_EQ(lstat(node.c_str(), &before), 0);
    fs::create_symlink(node, dir.path / (kind.name + "-link"));
    // A writer that keeps the FIFO open and never writes.
    const int writer = kind.name == "fifo" ? open(node.c_str(), O_RDWR | O_NONBLOCK) : -1;
    for (const fs::path& named : {node, dir.path / (kind.name + "-link")}) {
      SCOPED_TRACE(named.string());
      const std::string reason = named == node ? "not a regular file (" + kind.text + ")"
                                               : "its link target '" + node.string() +
                                                     "' is not a regular file (" + kind.text + ")";
      EXPECT_EQ(message_of(write_checkpoint_file_atomic(named, "text")),
                "refused to replace checkpoint file '" + named.string() + "': " + reason);
      struct stat after {};
      ASSERT_EQ(lstat(node.c_str(), &after), 0);
      EXPECT_EQ(after.st_mode & S_IFMT, before.st_mode & S_IFMT);
      EXPECT_EQ(after.st_ino, before.st_ino);
      EXPECT_TRUE(temp_files(dir.path).empty());
      EXPECT_EQ(refused_read_in_child(named, kind.text), 0);
    }
    if (writer >= 0) close(writer);
  }
  EXPECT_GE(tried, 3);
  EXPECT_EQ(refused_read_in_child("/dev/zero", "a character device"), 0);
}

// A write cut short by the file-size limit: reported with the temporary file's name, which is
// then gone. Run in a child, whose limit cannot leak into the other tests.
TEST(CheckpointFile, FailedWriteRemovesTheTemporaryFile) {
  ScratchDir dir;
  const fs::path path = dir.path / "state.ckpt";
  const std::string expected_start = "failed writing checkpoint temp file '" + path.string() +
                                     "': File too large (os error 27) at path \"" +
                                     dir.path.string() + "/.tmp";
  EXPECT_EQ(exit_code_within_deadline([&] {
              signal(SIGXFSZ, SIG_IGN);
              const rlimit limit{100, 100};
              setrlimit(RLIMIT_FSIZE, &limit);
              const auto status = write_checkpoint_file_atomic(path, std::string(1000, 'x'));
              return !status && status.error().message().rfind(expected_start, 0) == 0 ? 0 : 1;
            }),
            0);
  EXPECT_TRUE(fs::is_empty(dir.path));
}

// A child saves checkpoints of a running detector to one path in a loop, resuming from whatever
// the file holds, and is killed at random moments. After every kill the file loads and holds the
// detector's exact state after some step at least as far as before: never a torn file. Only the
// killed write can leave a temporary file; the test removes it (in service such files are hidden,
// owner-only, never read by a loader and never reused, since names are created exclusively).
TEST(CheckpointFile, WriterKilledAtRandomMomentsNeverLeavesATornFile) {
  ScratchDir dir;
  const fs::path path = dir.path / "bocpd.ckpt";
  using K = Kit<BocpdDetector>;
  std::vector<BocpdState> reference = {K::make().save_state()};
  BocpdDetector running = K::make();
  auto reference_at = [&](std::uint64_t t) -> const BocpdState& {
    while (reference.size() <= t) {
      (void)testing::step(running, testing::stream_event(reference.size() - 1).x);
      reference.push_back(running.save_state());
    }
    return reference[t];
  };
  ASSERT_TRUE(K::save_file(K::make(), path, PayloadCodec::Bincode));

  std::mt19937_64 rng(20261206);
  std::uint64_t last_t = 0;
  int leftovers = 0;
  constexpr int kKills = 250;
  for (int round = 0; round < kKills; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      BocpdDetector d = K::make();
      if (!K::load_file(d, path)) _exit(3);
      while (true) {
        if (!testing::step(d, testing::stream_event(d.state().t).x)) _exit(4);
        const PayloadCodec codec =
            d.state().t % 2 == 0 ? PayloadCodec::Json : PayloadCodec::Bincode;
        if (!K::save_file(d, path, codec)) _exit(5);
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
    kill(child, SIGKILL);
    int wstatus = 0;
    ASSERT_EQ(waitpid(child, &wstatus, 0), child);
    ASSERT_TRUE(WIFSIGNALED(wstatus)) << "child stopped by itself with " << WEXITSTATUS(wstatus);

    auto state = load_state_from_checkpoint_file(path, "bocpd");
    ASSERT_TRUE(state) << "round " << round << ": " << state.error().message();
    ASSERT_GE(state->t, last_t);
    ASSERT_EQ(*state, reference_at(state->t)) << "round " << round;
    last_t = state->t;
    const auto temps = temp_files(dir.path);
    ASSERT_LE(temps.size(), 1u);
    for (const std::string& name : temps) fs::remove(dir.path / name);
    leftovers += static_cast<int>(temps.size());
  }
  EXPECT_GT(last_t, 0u);
  RecordProperty("leftover_temp_files", leftovers);
  RecordProperty("last_step", static_cast<int>(last_t));
}

}  // namespace
}  // namespace ovrel::checkpoint

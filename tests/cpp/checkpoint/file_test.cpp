// Checkpoint files: atomic replacement, its failures (each leaving no temporary file behind), and
// a writer killed at random moments.

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "checkpoint_support.hpp"

namespace ovrel::online {
namespace {

namespace fs = std::filesystem;
using testing::Kit;
using testing::ScratchDir;

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
  const auto saved = save_cusum_checkpoint_file(detector, path, PayloadCodec::Json);
  umask(old_mask);
  ASSERT_TRUE(saved) << saved.error().message();
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_TRUE(temp_files(dir.path).empty());
  const CheckpointEnvelope envelope = read_checkpoint_file(path).value();
  EXPECT_EQ(envelope.payload_codec, PayloadCodec::Json);
  CusumDetector restored = Kit<CusumDetector>::make();
  ASSERT_TRUE(load_cusum_checkpoint_file(restored, path));
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
  ASSERT_EQ(rows.size(), 12u);
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

// A write cut short by the file-size limit: reported with the temporary file's name, which is
// then gone. Run in a child, whose limit cannot leak into the other tests.
TEST(CheckpointFile, FailedWriteRemovesTheTemporaryFile) {
  ScratchDir dir;
  const fs::path path = dir.path / "state.ckpt";
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100, 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    auto status = write_checkpoint_file_atomic(path, std::string(1000, 'x'));
    const std::string& m = status ? std::string() : status.error().message();
    const std::string expected_start = "failed writing checkpoint temp file '" + path.string() +
                                       "': File too large (os error 27) at path \"" +
                                       dir.path.string() + "/.tmp";
    _exit(!status && m.rfind(expected_start, 0) == 0 ? 0 : 1);
  }
  int wstatus = 0;
  ASSERT_EQ(waitpid(child, &wstatus, 0), child);
  EXPECT_TRUE(WIFEXITED(wstatus) && WEXITSTATUS(wstatus) == 0);
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
}  // namespace ovrel::online

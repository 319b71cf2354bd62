#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <random>

#include "ovrel/core/json_text.hpp"
#include "ovrel/core/text.hpp"
#include "ovrel/online/checkpoint.hpp"

namespace ovrel::online {

using core::cat;
namespace fs = std::filesystem;

OvrelError io_resource_error(std::string_view message, const fs::path& path,
                             std::string_view system_error) {
  return OvrelError::resource_limit(
      cat(message, " '", core::utf8_lossy(path.native()), "': ", system_error));
}

namespace {

constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";

std::string os_error_text(int code) { return cat(std::strerror(code), " (os error ", code, ")"); }

bool holds_nul(const fs::path& path) { return path.native().find('\0') != std::string::npos; }

// Closes on every road out.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { close(); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // The close result, for a caller that cares.
  int close() {
    if (fd_ < 0) return 0;
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

int flush_to_storage(int fd) {
#if defined(__APPLE__)
  if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
  return ::fsync(fd);
}

// The per-thread name generator: uniform over 62 characters, seeded per thread and reseeded
// from the system's entropy source after repeated collisions.
class TempNames {
 public:
  TempNames() { reseed(); }
  void reseed() {
    std::random_device entropy;
    std::seed_seq seed{entropy(), entropy(), entropy(), entropy()};
    engine_.seed(seed);
  }
  std::string next() {
    static constexpr std::string_view kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
    std::string name = ".tmp";
    for (int i = 0; i < 6; ++i) name.push_back(kAlphabet[pick(engine_)]);
    return name;
  }

 private:
  std::mt19937_64 engine_;
};

constexpr int kMaxTempNames = 65536;

// Removes the temporary file unless it has been renamed into place.
class TempFileGuard {
 public:
  explicit TempFileGuard(fs::path path) : path_(std::move(path)) {}
  ~TempFileGuard() {
    if (armed_) ::unlink(path_.c_str());
  }
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  void release() { armed_ = false; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  bool armed_ = true;
};

}  // namespace

Status sync_parent_directory(const fs::path& directory) {
  if (holds_nul(directory)) {
    return std::unexpected(
        io_resource_error("failed opening checkpoint parent directory", directory, kNulInPath));
  }
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    return std::unexpected(io_resource_error("failed opening checkpoint parent directory",
                                             directory, os_error_text(errno)));
  }
  FileDescriptor dir(fd);
  if (flush_to_storage(dir.get()) != 0) {
    return std::unexpected(io_resource_error("failed fsync on checkpoint parent directory",
                                             directory, os_error_text(errno)));
  }
  return {};
}

Status write_checkpoint_file_atomic(const fs::path& path, std::string_view bytes) {
  const fs::path name = path.filename();
  if (name.empty() || name == "." || name == "..") {
    return core::invalid_input(
        cat("checkpoint path '", core::utf8_lossy(path.native()), "' must include a file name"));
  }
  fs::path directory = path.parent_path();
  if (directory.empty()) directory = ".";
  // open(2) would read such a path only up to the NUL: a different file.
  if (holds_nul(path)) {
    return std::unexpected(
        io_resource_error("failed creating checkpoint temp file", path, kNulInPath));
  }

  // Step 3: a new temporary file in the same directory, so the rename stays on one device.
  thread_local TempNames names;
  int fd = -1;
  fs::path temp_path;
  int collisions = 0;
  for (int attempt = 0; attempt < kMaxTempNames && fd < 0; ++attempt) {
    temp_path = directory / names.next();
    fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) break;
    if (errno != EEXIST) {
      return std::unexpected(io_resource_error("failed creating checkpoint temp file", directory,
                                               os_error_text(errno)));
    }
    if (++collisions == 3) names.reseed();
  }
  if (fd < 0) {
    return std::unexpected(io_resource_error("failed creating checkpoint temp file", directory,
                                             "too many temporary files exist"));
  }
  FileDescriptor file(fd);
  TempFileGuard guard(temp_path);

  // Step 4: the whole text, through interruptions and short writes.
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(file.get(), bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string reason = n < 0 ? os_error_text(errno) : "failed to write whole buffer";
      return std::unexpected(io_resource_error(
          "failed writing checkpoint temp file", path,
          cat(reason, " at path \"", core::utf8_lossy(temp_path.native()), "\"")));
    }
    written += static_cast<std::size_t>(n);
  }

  // Step 5: data and metadata on stable storage before the name points at them.
  if (flush_to_storage(file.get()) != 0) {
    return std::unexpected(
        io_resource_error("failed fsync on checkpoint temp file", path, os_error_text(errno)));
  }

  // Step 6: readers see the old file or the complete new one.
  if (::rename(temp_path.c_str(), path.c_str()) != 0) {
    return std::unexpected(
        io_resource_error("failed renaming checkpoint temp file", path, os_error_text(errno)));
  }
  guard.release();

  // Steps 7 and 8. The data reached storage before the rename, so a failing close loses nothing.
  file.close();
  return sync_parent_directory(directory);
}

Result<CheckpointEnvelope> read_checkpoint_file(const fs::path& path) {
  constexpr std::string_view kMessage = "failed reading checkpoint file";
  if (holds_nul(path)) return std::unexpected(io_resource_error(kMessage, path, kNulInPath));
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(io_resource_error(kMessage, path, os_error_text(errno)));
  FileDescriptor file(fd);
  std::string text;
  struct stat info {};
  if (::fstat(file.get(), &info) == 0 && info.st_size > 0) {
    text.reserve(static_cast<std::size_t>(info.st_size));
  }
  std::array<char, 1 << 16> chunk;
  while (true) {
    const ssize_t n = ::read(file.get(), chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(io_resource_error(kMessage, path, os_error_text(errno)));
    if (n == 0) break;
    text.append(chunk.data(), static_cast<std::size_t>(n));
  }
  file.close();
  return decode_checkpoint_envelope(text);
}

}  // namespace ovrel::online

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <random>
#include <stdexcept>

#include "ovrel/checkpoint/checkpoint.hpp"
#include "ovrel/core/json_text.hpp"
#include "ovrel/core/text.hpp"

namespace ovrel::checkpoint {

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

// What a path holds when it is not a regular file, for the refusal's text.
std::string_view file_kind(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "a special file";
}

std::string not_regular_text(mode_t mode) {
  return cat("not a regular file (", file_kind(mode), ")");
}

// As many links as the kernel follows in one lookup before it reports ELOOP.
constexpr int kMaxSymlinkHops = 40;

// The file a save replaces: `path` itself, or the final target of the symbolic links it names (a
// link's relative target is taken from the link's directory), so the link stays a link. A target
// that does not exist yet is created; anything there but a regular file is refused before a
// temporary file exists. Lookup errors other than a missing name are left to the steps that
// follow, which report them with their own messages.
Result<fs::path> replaced_file(const fs::path& path) {
  constexpr std::string_view kMessage = "refused to replace checkpoint file";
  fs::path target = path;
  for (int hops = 0;; ++hops) {
    struct stat info {};
    if (::lstat(target.c_str(), &info) != 0) return target;
    if (S_ISREG(info.st_mode)) return target;
    if (!S_ISLNK(info.st_mode)) {
      const std::string reason = target == path
                                     ? not_regular_text(info.st_mode)
                                     : cat("its link target '", core::utf8_lossy(target.native()),
                                           "' is ", not_regular_text(info.st_mode));
      return std::unexpected(io_resource_error(kMessage, path, reason));
    }
    if (hops == kMaxSymlinkHops) {
      return std::unexpected(io_resource_error(kMessage, path, os_error_text(ELOOP)));
    }
    // A full buffer may hold a truncated target (the link rewritten since the lstat): read again
    // into a larger one.
    std::string link(static_cast<std::size_t>(info.st_size) + 1, '\0');
    ssize_t n = 0;
    while ((n = ::readlink(target.c_str(), link.data(), link.size())) >= 0 &&
           static_cast<std::size_t>(n) == link.size() && link.size() <= PATH_MAX) {
      link.resize(2 * link.size());
    }
    if (n < 0) return std::unexpected(io_resource_error(kMessage, path, os_error_text(errno)));
    link.resize(static_cast<std::size_t>(n));
    const fs::path next(link);
    target = next.is_absolute() ? next : target.parent_path() / next;
  }
}

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
  // open(2) would read such a path only up to the NUL: a different file.
  if (holds_nul(path)) {
    return std::unexpected(
        io_resource_error("failed creating checkpoint temp file", path, kNulInPath));
  }
  // A rename over a symbolic link would replace the link itself, and one over a FIFO or a device
  // would replace that node (as root, /dev/null): the file replaced is the link's final target,
  // and only ever a regular file.
  OVREL_TRY_ASSIGN(const fs::path target, replaced_file(path));
  fs::path directory = target.parent_path();
  if (directory.empty()) directory = ".";

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

  // Step 6: readers see the old file or the complete new one. The target is looked at again
  // first, for a FIFO or device put in its place while the text was written.
  struct stat info {};
  if (::lstat(target.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    return std::unexpected(io_resource_error("refused to replace checkpoint file", path,
                                             not_regular_text(info.st_mode)));
  }
  if (::rename(temp_path.c_str(), target.c_str()) != 0) {
    return std::unexpected(
        io_resource_error("failed renaming checkpoint temp file", path, os_error_text(errno)));
  }
  guard.release();

  // Steps 7 and 8. The data reached storage before the rename, so a failing close loses nothing.
  file.close();
  return sync_parent_directory(directory);
}

Result<CheckpointEnvelope> read_checkpoint_file(const fs::path& path, std::uint64_t size_limit) {
  constexpr std::string_view kMessage = "failed reading checkpoint file";
  if (holds_nul(path)) return std::unexpected(io_resource_error(kMessage, path, kNulInPath));
  // Opened without blocking, so a FIFO without a writer cannot hold the open, and checked on the
  // descriptor itself, so the check and the read see the same file: a FIFO, a device such as
  // /dev/zero or a directory is refused before anything is read.
  // The path is looked at first, so a device is not even opened (opening some has effects).
  struct stat named {};
  if (::stat(path.c_str(), &named) == 0 && !S_ISREG(named.st_mode)) {
    return std::unexpected(io_resource_error(kMessage, path, not_regular_text(named.st_mode)));
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::unexpected(io_resource_error(kMessage, path, os_error_text(errno)));
  FileDescriptor file(fd);
  struct stat info {};
  if (::fstat(file.get(), &info) != 0) {
    return std::unexpected(io_resource_error(kMessage, path, os_error_text(errno)));
  }
  if (!S_ISREG(info.st_mode)) {
    return std::unexpected(io_resource_error(kMessage, path, not_regular_text(info.st_mode)));
  }
  // A file larger than the loading detector could ever load is refused before anything is read,
  // and one that grows while it is read when it passes the limit.
  const std::string shown = core::utf8_lossy(path.native());
  const auto too_large = [&](std::uint64_t size) {
    return core::invalid_input(cat("checkpoint file '", shown, "' is ", size,
                                   " bytes, too large to read; the largest checkpoint this "
                                   "detector can load is about ",
                                   size_limit, " bytes"));
  };
  const auto size = static_cast<std::uint64_t>(info.st_size);
  if (size > size_limit) return too_large(size);
  const int flags = ::fcntl(file.get(), F_GETFL);
  if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return std::unexpected(io_resource_error(kMessage, path, os_error_text(errno)));
  }
  std::string text;
  const auto refused = [&] {
    return core::out_of_memory(cat("reading checkpoint file '", shown, "' needs ", size, " bytes"));
  };
  try {
    text.reserve(size);
  } catch (const std::bad_alloc&) {
    return refused();
  } catch (const std::length_error&) {
    return refused();
  }
  std::array<char, 1 << 16> chunk;
  while (true) {
    const ssize_t n = ::read(file.get(), chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(io_resource_error(kMessage, path, os_error_text(errno)));
    if (n == 0) break;
    text.append(chunk.data(), static_cast<std::size_t>(n));
    if (text.size() > size_limit) return too_large(text.size());
  }
  file.close();
  return decode_checkpoint_envelope(text);
}

}  // namespace ovrel::checkpoint

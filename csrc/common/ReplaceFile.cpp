#include "common/ReplaceFile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

namespace mira::typing::text {
namespace {

[[noreturn]] void Failed(const std::string& why) { throw std::runtime_error(why); }

[[noreturn]] void FailedErrno(const std::string& what) {
  Failed(what + ": " + std::strerror(errno));
}

bool WriteAll(int fd, const std::string& text) {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t n = ::write(fd, data, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

// An open file descriptor that is closed on scope exit unless closed already.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  int get() const { return fd_; }
  // Closes now; false when the close reports an error.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// A freshly created file beside the target, removed again unless Keep is called.
class TempFile {
 public:
  explicit TempFile(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    const std::size_t slash = target.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : target.substr(0, slash + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string name = dir + ".bm25-dump-" + std::to_string(::getpid()) + "-" +
                         std::to_string(counter++) + ".tmp";
      const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd >= 0) {
        file_ = Descriptor(fd);
        name_ = std::move(name);
        return;
      }
      if (errno != EEXIST) break;
    }
  }
  ~TempFile() {
    // Close before unlinking; the descriptor member would close only afterwards.
    if (file_.get() >= 0) file_.Close();
    if (!name_.empty() && !kept_) ::unlink(name_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  bool ok() const { return file_.get() >= 0; }
  int fd() const { return file_.get(); }
  const std::string& name() const { return name_; }
  bool Close() { return file_.Close(); }
  void Keep() { kept_ = true; }

 private:
  Descriptor file_{-1};
  std::string name_;
  bool kept_ = false;
};

// Devices, pipes and the like cannot be replaced by a rename; they are
// written in place, as they always were.
void WriteInPlace(const std::string& path, const std::string& text) {
  Descriptor file(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  if (file.get() < 0) Failed("Unable to open file");
  if (!WriteAll(file.get(), text)) FailedErrno("Unable to write file");
  if (!file.Close()) FailedErrno("Unable to close file");
}

}  // namespace

// Writes a complete temporary file, then renames it over the target, so a
// failure at any step leaves an existing file as it was.
void ReplaceFileContents(const std::string& path, const std::string& text) {
  // The system calls see only the bytes before a NUL; such a path names no file.
  if (path.empty() || path.find('\0') != std::string::npos) Failed("Unable to open file");
  std::string target = path;
  struct stat existing;
  const bool exists = ::stat(path.c_str(), &existing) == 0;
  if (exists) {
    if (!S_ISREG(existing.st_mode)) {
      WriteInPlace(path, text);
      return;
    }
    // The target must be writable, as it had to be for a plain overwrite.
    Descriptor probe(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (probe.get() < 0) Failed("Unable to open file");
    // Replace what a symbolic link points to, not the link itself.
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr) target = resolved;
  }
  TempFile temp(target);
  if (!temp.ok()) {
    // A directory closed to new files can still hold a writable file.
    if (exists) {
      WriteInPlace(target, text);
      return;
    }
    Failed("Unable to open file");
  }
  if (exists) ::fchmod(temp.fd(), existing.st_mode & 07777);
  if (!WriteAll(temp.fd(), text)) FailedErrno("Unable to write file");
  if (::fsync(temp.fd()) != 0) FailedErrno("Unable to write file");
  if (!temp.Close()) FailedErrno("Unable to close file");
  if (::rename(temp.name().c_str(), target.c_str()) != 0) {
    FailedErrno("Unable to replace file");
  }
  temp.Keep();
}

}  // namespace mira::typing::text

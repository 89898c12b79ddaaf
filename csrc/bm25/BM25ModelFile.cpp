// The BM25 model file: a JSON object with the members _b, _doc_count,
// _doc_length_average, _doc_token_frequency and _k1.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>

#include "bm25/BM25.hpp"
#include "json/JSON.hpp"

namespace mira::typing::text {
namespace {

using json::JSON;

[[noreturn]] void DumpFailed(const std::string& why) {
  throw std::runtime_error("Failed to dump: " + why);
}

[[noreturn]] void DumpFailedErrno(const std::string& what) {
  DumpFailed(what + ": " + std::strerror(errno));
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

std::string ModelText(double b, double k1, BM25::Count doc_count, double doc_length_average,
                      const BM25::FrequencyTable& table) {
  JSON root;
  root["_doc_token_frequency"] = json::Object();
  JSON& frequency = root["_doc_token_frequency"];
  for (const auto& [token, count] : table) frequency[token] = count;
  root["_doc_count"] = doc_count;
  root["_doc_length_average"] = doc_length_average;
  root["_b"] = b;
  root["_k1"] = k1;
  std::ostringstream out;
  out << root;
  return out.str();
}

// Devices, pipes and the like cannot be replaced by a rename; they are
// written in place, as they always were.
void WriteInPlace(const std::string& path, const std::string& text) {
  Descriptor file(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC));
  if (file.get() < 0) DumpFailed("Unable to open file");
  if (!WriteAll(file.get(), text)) DumpFailedErrno("Unable to write file");
  if (!file.Close()) DumpFailedErrno("Unable to close file");
}

// Writes a complete temporary file, then renames it over the target, so a
// failure at any step leaves an existing file as it was.
void WriteReplacing(const std::string& path, const std::string& text) {
  // The system calls see only the bytes before a NUL; such a path names no file.
  if (path.empty() || path.find('\0') != std::string::npos) DumpFailed("Unable to open file");
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
    if (probe.get() < 0) DumpFailed("Unable to open file");
    // Replace what a symbolic link points to, not the link itself.
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr) target = resolved;
  }
  TempFile temp(target);
  if (!temp.ok()) DumpFailed("Unable to open file");
  if (exists) ::fchmod(temp.fd(), existing.st_mode & 07777);
  if (!WriteAll(temp.fd(), text)) DumpFailedErrno("Unable to write file");
  if (::fsync(temp.fd()) != 0) DumpFailedErrno("Unable to write file");
  if (!temp.Close()) DumpFailedErrno("Unable to close file");
  if (::rename(temp.name().c_str(), target.c_str()) != 0) {
    DumpFailedErrno("Unable to replace file");
  }
  temp.Keep();
}

}  // namespace

void BM25::dump(const std::string& path) const {
  WriteReplacing(path, ModelText(_b, _k1, _doc_count, _doc_length_average, _doc_token_frequency));
}

void BM25::load(const std::string& text) {
  if (text.empty()) throw std::runtime_error("json data should not be empty");
  JSON root;
  try {
    root = JSON::Load(text);
  } catch (const std::out_of_range& error) {
    // Both number faults are bad input to Python (ValueError), not an index.
    throw std::invalid_argument(error.what());
  }

  // Everything is read and checked into a copy first; the model changes
  // only once the whole file has been accepted.
  State next = state();
  bool ok = false;
  const JSON frequency = root["_doc_token_frequency"];
  if (frequency.GetKind() == JSON::Kind::Object) {
    for (const auto& [token, value] : frequency.ObjectEntries()) {
      const Count count = value.ToInt(ok);
      if (!ok) throw std::runtime_error("load doc_token_frequency failed");
      next.doc_token_frequency[token] = count;
    }
  }
  next.doc_count = root["_doc_count"].ToInt(ok);
  if (!ok) throw std::runtime_error("load doc_count failed");
  next.doc_length_average = root["_doc_length_average"].ToFloat(ok);
  if (!ok) throw std::runtime_error("load doc_length_average failed");
  next.b = root["_b"].ToFloat(ok);
  if (!ok) throw std::runtime_error("load b failed");
  next.k1 = root["_k1"].ToFloat(ok);
  if (!ok) throw std::runtime_error("load k1 failed");
  set_state(std::move(next));
}

}  // namespace mira::typing::text

// The result file: records appended whole, a failed write taken back.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/posix_errors.h"
#include "platform/posix/posix_io.h"
#include "platform/posix/posix_platform.h"
#include "platform/text.h"

namespace tavrin {
namespace {

class PosixResultFile final : public ResultFile {
 public:
  PosixResultFile(UniqueFd file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}

  bool write(std::wstring_view text) override {
    bytes_.clear();
    appendBytes(bytes_, text);
    if (writeAll(file_.get(), bytes_)) {
      size_ += static_cast<off_t>(bytes_.size());
      return true;
    }
    error_ = errno;
    // Whatever part went out is taken back: the file ends with a whole record.
    if (ftruncate(file_.get(), size_) == 0) lseek(file_.get(), size_, SEEK_SET);
    return false;
  }

  std::wstring error() const override { return errorText(error_); }

  bool removeIfEmpty() override {
    struct stat own {};
    struct stat named {};
    const bool ours = fstat(file_.get(), &own) == 0 && own.st_size == 0 &&
                      lstat(path_.c_str(), &named) == 0 && named.st_dev == own.st_dev &&
                      named.st_ino == own.st_ino;
    file_ = UniqueFd();
    return ours && unlink(path_.c_str()) == 0;
  }

 private:
  UniqueFd file_;
  std::string path_;
  std::string bytes_;
  off_t size_ = 0;  // what the file holds of whole writes
  int error_ = 0;
};

}  // namespace

std::unique_ptr<ResultFile> PosixPlatform::createResultFile(const std::wstring& path,
                                                           CreateFailure& failure) {
  UniqueFd file(open(bytesOf(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
  if (!file.valid()) {
    noteError(errno);
    failure = errno == EEXIST || errno == ELOOP ? CreateFailure::NameTaken
              : errno == ENOENT || errno == ENOTDIR ? CreateFailure::FolderMissing
              : errno == EACCES || errno == EPERM || errno == EROFS ? CreateFailure::AccessDenied
                                                                    : CreateFailure::Other;
    return nullptr;
  }
  failure = CreateFailure::None;
  return std::make_unique<PosixResultFile>(std::move(file), bytesOf(path));
}

}  // namespace tavrin

#include "platform/posix/posix_errors.h"

#include <cerrno>
#include <cstring>

#include "platform/text.h"

namespace tavrin {

std::wstring errorText(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      return L"not found";
    case EACCES:
    case EPERM:
      return L"access denied";
    case EIO:
      return L"I/O error";
    case ENAMETOOLONG:
      return L"the path is too long";
    case ENOSPC:
      return L"no space left on the disk";
    case EFBIG:
      return L"the file reached the size limit for files";
    case FOLDER_REPLACED:
      return L"the folder was moved or replaced during the walk";
    default: {
      std::wstring text = toWide(std::strerror(error));
      if (!text.empty() && text[0] >= L'A' && text[0] <= L'Z') text[0] = static_cast<wchar_t>(text[0] - L'A' + L'a');
      return text;
    }
  }
}

}  // namespace tavrin

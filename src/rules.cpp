#include "scan_job.h"

namespace tavrin {
namespace {

// Files under the tool's own folder are reset to archive only by a repair.
constexpr std::wstring_view MARKER = L"Norvane";

}  // namespace

int ScanJob::applyRule(const std::wstring& path) {
  const uint32_t attributes = platform_.getFileAttributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    platform_.writeConsole(L"\nINVALID_FILE_ATTRIBUTES for " + path);
    return -1;
  }

  if (modeFlags_ & MODE_LIST) {
    if (attributes == SUSPECT_ATTRIBUTES) writeRecord(path, attributes);
  } else if (modeFlags_ & MODE_REPAIR) {
    bool failed = false;
    if (path.find(MARKER) != std::wstring::npos) {
      failed = !platform_.setFileAttributes(path, FILE_ATTRIBUTE_ARCHIVE);
    } else if (attributes == SUSPECT_ATTRIBUTES) {
      failed = !platform_.setFileAttributes(path, FILE_ATTRIBUTE_NORMAL);
    }
    if (failed) {  // recorded with the word read before the attempt
      writeRecord(path, attributes);
      platform_.writeConsole(L"\n FlagsR: " + decimal(attributes) + L", File: " + path);
    }
  } else if (modeFlags_ & MODE_SET) {
    platform_.writeConsole(L"\nSETTINGS ATTRIBUTES SETTING FOLDERS AS PARAMS IS DANGEROUS !!!!");
    if (platform_.setFileAttributes(path, setValue_)) {
      platform_.writeConsole(L"\n Attributes " + decimal(setValue_) + L" successfully set to " +
                             path);
    } else {
      platform_.writeConsole(L"\n Could not set attributes to " + path);
    }
  } else if (modeFlags_ & MODE_LISTALL) {
    writeRecord(path, attributes);
  }
  return 0;
}

}  // namespace tavrin

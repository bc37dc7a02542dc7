#include "scan_job.h"

namespace tavrin {
namespace {

// Files under the tool's own folder are reset to archive only by a repair.
constexpr std::wstring_view MARKER = L"Norvane";

}  // namespace

bool ScanJob::ruleActsOn(const std::wstring& path, uint32_t attributes) const {
  if (modeFlags_ & MODE_LIST) return attributes == SUSPECT_ATTRIBUTES;
  if (modeFlags_ & MODE_REPAIR) {
    return attributes == SUSPECT_ATTRIBUTES || path.find(MARKER) != std::wstring::npos;
  }
  return (modeFlags_ & MODE_SET) != 0;
}

int ScanJob::applyRule(const std::wstring& path) {
  return applyRuleWith(path, platform_.getFileAttributes(path), true);
}

int ScanJob::applyRuleWith(const std::wstring& path, uint32_t attributes, bool reachable) {
  ++counts_.filesChecked;
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    ++counts_.unreadable;
    print(L"\nINVALID_FILE_ATTRIBUTES for " + path);
    return -1;
  }

  // An entry that is a folder when its word is read (replaced since it was
  // listed) is left as it is: no command writes a folder's word.
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && (modeFlags_ & (MODE_REPAIR | MODE_SET))) return 0;

  if (modeFlags_ & MODE_LIST) {
    if (attributes == SUSPECT_ATTRIBUTES) writeRecord(path, attributes);
  } else if (modeFlags_ & MODE_REPAIR) {
    uint32_t repaired = 0;
    if (path.find(MARKER) != std::wstring::npos) {
      repaired = FILE_ATTRIBUTE_ARCHIVE;
    } else if (attributes == SUSPECT_ATTRIBUTES) {
      repaired = FILE_ATTRIBUTE_NORMAL;
    }
    if (repaired != 0 && reachable && platform_.setFileAttributes(path, repaired)) {
      ++counts_.changed;
    } else if (repaired != 0) {  // recorded with the word read before the attempt
      ++counts_.failed;
      writeRecord(path, attributes);
      print(L"\n FlagsR: " + decimal(attributes) + L", File: " + path);
    }
  } else if (modeFlags_ & MODE_SET) {
    print(L"\nSETTINGS ATTRIBUTES SETTING FOLDERS AS PARAMS IS DANGEROUS !!!!");
    if (reachable && platform_.setFileAttributes(path, setValue_)) {
      ++counts_.changed;
      print(L"\n Attributes " + decimal(setValue_) + L" successfully set to " + path);
    } else {
      ++counts_.failed;
      print(L"\n Could not set attributes to " + path);
    }
  } else if (modeFlags_ & MODE_LISTALL) {
    writeRecord(path, attributes);
  }
  return 0;
}

}  // namespace tavrin

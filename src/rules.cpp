#include "scan_job.h"

namespace tavrin {
namespace {

// Files under the tool's own folder are reset to archive only by a repair.
constexpr std::wstring_view MARKER = L"Norvane";

constexpr std::wstring_view MARKER_REASON =
    L"a repair resets every file whose path contains \"Norvane\" (the name of the folder that holds "
    L"tavrin's own result files), whatever its attributes";

}  // namespace

// Only a root's own path counts: a tree that merely holds such a folder (the
// system drive holds the tool folder) is repaired as usual outside it, and
// the files inside are the tool's own.
void ScanJob::warnOfMarkedRoots() {
  std::wstring marked;
  for (const std::wstring& root : roots_) {
    if (root.find(MARKER) == std::wstring::npos) continue;
    if (modeFlags_ & MODE_REPAIR) {
      reportError(L"every file under " + root + L" will be reset to archive only (32): " +
                  std::wstring(MARKER_REASON));
    } else if (modeFlags_ & MODE_LIST) {
      marked += marked.empty() ? L"" : L", ";
      marked += root;
    }
  }
  if (!marked.empty()) {
    reportError(L"repair would reset every file under " + marked + L" to archive only (32): " +
                std::wstring(MARKER_REASON));
  }
}

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
  // listed) is left as it is: no command writes a folder's word. A link
  // listed as a file may read as one that leads to a folder; it is still the
  // link's own word that is written, as before.
  const bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  if (folder && (modeFlags_ & (MODE_REPAIR | MODE_SET))) return 0;

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

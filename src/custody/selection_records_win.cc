#include "custody/selection_records_win.h"

#include "common/reason.h"
#include "common/record_file_win.h"

namespace nuvra {

std::wstring selectionRecordPath(const std::wstring& home, SelectionRecord record) {
  switch (record) {
    case SelectionRecord::servicing:
      return home + L"\\state\\runtime\\servicing.json";
    case SelectionRecord::current:
      return home + L"\\runtime\\current";
    case SelectionRecord::admission:
      return home + L"\\state\\runtime\\admission.json";
  }
  fail("profile_native_api");
}

std::string readSelectionRecord(const std::wstring& home, SelectionRecord record) {
  return readRecordFile(selectionRecordPath(home, record), record == SelectionRecord::servicing);
}

void requireUnchangedSelection(const std::wstring& home, const SelectionTexts& kept,
                               const std::function<void()>& beforeEach) {
  const std::pair<SelectionRecord, const std::string*> records[] = {
      {SelectionRecord::servicing, &kept.servicing},
      {SelectionRecord::current, &kept.current},
      {SelectionRecord::admission, &kept.admission},
  };
  for (const auto& [record, text] : records) {
    if (beforeEach) beforeEach();
    if (readSelectionRecord(home, record) != *text) fail("profile_work_fenced");
  }
}

}  // namespace nuvra

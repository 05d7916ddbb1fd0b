// The three records under a product home that together say which runtime
// is committed, read with the record-file rules. Their texts are kept at
// startup; later steps prove nothing changed by comparing bytes.
#pragma once

#include <functional>
#include <string>

namespace nuvra {

enum class SelectionRecord { servicing, current, admission };

// home + "\state\runtime\servicing.json", "\runtime\current" or
// "\state\runtime\admission.json".
std::wstring selectionRecordPath(const std::wstring& home, SelectionRecord record);

// The record's exact bytes; only the servicing record is read with the
// owner-only check. Record reading reasons.
std::string readSelectionRecord(const std::wstring& home, SelectionRecord record);

struct SelectionTexts {
  std::string servicing;
  std::string current;
  std::string admission;
};

// Reads the three records in order and requires each to be byte-identical
// with `kept`, else "profile_work_fenced". `beforeEach` runs before every
// read (an owner check that must hold throughout).
void requireUnchangedSelection(const std::wstring& home, const SelectionTexts& kept,
                               const std::function<void()>& beforeEach = {});

}  // namespace nuvra

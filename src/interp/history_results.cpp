#include "interp/history_results.h"

const wchar_t* HistoryPublishResultName(HistoryPublishResult result) noexcept {
  switch (result) {
    case HistoryPublishResult::Appended: return L"appended";
    case HistoryPublishResult::Unchanged: return L"unchanged";
    case HistoryPublishResult::Invalid: return L"invalid";
    case HistoryPublishResult::Generation: return L"generation";
    case HistoryPublishResult::NonMonotonic: return L"non-monotonic";
    case HistoryPublishResult::SameTickUpdate: return L"same-tick-update";
    case HistoryPublishResult::Discontinuity: return L"discontinuity";
  }
  return L"unknown";
}

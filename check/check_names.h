// The words the check reports its findings in, in its text lines and its JSON document alike.
#pragma once

#include <string_view>

#include "check/installation_check.h"

namespace vannix {

inline std::u16string_view StateName(FileState state) {
  switch (state) {
    case FileState::kOk: return u"ok";
    case FileState::kMissing: return u"missing";
    case FileState::kDiffers: return u"differs";
    case FileState::kWindows: return u"windows";
    case FileState::kUnknown: return u"unknown";
    case FileState::kPending: return u"pending";
  }
  return u"?";
}

// "registered", "not registered", "after restart", or "-" for a file that is no COM server.
inline std::u16string_view RegistrationName(const EntryCheck& entry) {
  return !entry.must_be_registered      ? u"-"
         : entry.registered             ? u"registered"
         : entry.registration_scheduled ? u"after restart"
                                        : u"not registered";
}

inline std::u16string_view ClassStateName(ClassState state) {
  switch (state) {
    case ClassState::kRegistered: return u"registered";
    case ClassState::kMissing: return u"missing";
    case ClassState::kOtherFile: return u"names another file";
    case ClassState::kTreatedAs: return u"treated as another class";
    case ClassState::kUnchecked: return u"not looked up";
  }
  return u"?";
}

inline std::u16string_view VerdictName(Verdict verdict) {
  switch (verdict) {
    case Verdict::kComplete: return u"complete";
    case Verdict::kRestartPending: return u"restart pending";
    case Verdict::kIncomplete: return u"incomplete";
    case Verdict::kUnknown: return u"undetermined";
  }
  return u"?";
}

}  // namespace vannix

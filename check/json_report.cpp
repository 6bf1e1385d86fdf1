#include "check/json_report.h"

#include <optional>

#include "check/check_names.h"
#include "installer/text.h"

namespace vannix {
namespace {

// A JSON string: quotes, backslashes, controls and everything beyond ASCII escaped.
std::u16string Quoted(std::u16string_view text) {
  std::u16string out = u"\"";
  for (const char16_t c : text) {
    if (c == u'"' || c == u'\\') {
      out += u'\\';
      out += c;
    } else if (c < 0x20 || c > 0x7E) {
      out += u"\\u" + Hex(c, 4);
    } else {
      out += c;
    }
  }
  return out + u"\"";
}

std::u16string OrNull(const std::u16string& text) { return text.empty() ? u"null" : Quoted(text); }

std::u16string HexDigest(const Sha256Digest& digest) {
  std::u16string hex;
  for (const std::byte b : digest) {
    const auto value = std::to_integer<unsigned>(b);
    hex += u"0123456789abcdef"[value >> 4];
    hex += u"0123456789abcdef"[value & 15];
  }
  return Quoted(hex);
}

std::u16string FileObject(const EntryCheck& entry) {
  std::u16string json = u"{\"name\": " + Quoted(FileNameOf(entry.path)) +
                        u", \"path\": " + Quoted(entry.path) + u", \"state\": " +
                        Quoted(StateName(entry.file));
  json += u", \"expected\": {\"size\": " + Decimal(entry.expected_size) +
          u", \"sha256\": " + HexDigest(entry.expected_sha256) + u"}";
  json += u", \"found\": ";
  json += entry.found_size ? u"{\"size\": " + Decimal(*entry.found_size) + u", \"sha256\": " +
                                 (entry.found_sha256 ? HexDigest(*entry.found_sha256) : u"null") +
                                 u"}"
                           : u"null";
  json += u", \"versions\": ";
  json += entry.file == FileState::kWindows
              ? u"{\"installed\": " + OrNull(entry.installed_version) + u", \"release\": " +
                    OrNull(entry.release_version) + u"}"
              : u"null";
  json += u", \"registration\": ";
  json += entry.must_be_registered ? Quoted(RegistrationName(entry)) : u"null";
  // A server's classes of this release; null where they are unknown (or for no server).
  json += u", \"classes\": ";
  if (entry.classes.empty()) {
    json += u"null";
  } else {
    json += u"[";
    for (std::size_t i = 0; i < entry.classes.size(); ++i) {
      json += (i == 0 ? u"{\"clsid\": " : u", {\"clsid\": ") + Quoted(entry.classes[i].clsid) +
              u", \"state\": " + Quoted(ClassStateName(entry.classes[i].state)) + u"}";
    }
    json += u"]";
  }
  json += u", \"problem\": " + OrNull(entry.problem) + u"}";
  return json;
}

std::u16string Release(const std::u16string& variant, const std::u16string& check_version) {
  return u"\"release\": {\"product\": \"setup_vannix\", \"payload_variant\": " + OrNull(variant) +
         u", \"check_version\": " + OrNull(check_version) + u"}";
}

}  // namespace

std::u16string FormatJson(const InstallationCheck& check, const std::u16string& check_version,
                          int exit_code) {
  std::u16string json = u"{\r\n  " + Release(check.variant, check_version) + u",\r\n";
  json += u"  \"system_directory\": " + Quoted(check.system_dir) + u",\r\n  \"files\": [";
  for (std::size_t i = 0; i < check.entries.size(); ++i)
    json += (i == 0 ? u"\r\n    " : u",\r\n    ") + FileObject(check.entries[i]);
  const CheckCounts n = check.Count();
  json += u"\r\n  ],\r\n  \"summary\": {\"verdict\": " + Quoted(VerdictName(check.Judge())) +
          u", \"files\": " + Decimal(n.files) + u", \"as_shipped\": " + Decimal(n.ok) +
          u", \"missing\": " + Decimal(n.missing) + u", \"differs\": " + Decimal(n.differs) +
          u", \"windows\": " + Decimal(n.windows) + u", \"unknown\": " + Decimal(n.unknown) +
          u", \"pending\": " + Decimal(n.pending) + u", \"servers\": " + Decimal(n.servers) +
          u", \"registered\": " + Decimal(n.registered) + u", \"after_restart\": " +
          Decimal(n.after_restart) + u", \"classes\": " + Decimal(n.classes) +
          u", \"classes_registered\": " + Decimal(n.classes_registered) +
          u", \"servers_with_classes_unknown\": " + Decimal(n.classes_unknown) + u"},\r\n";
  return json + u"  \"exit_code\": " + Decimal(static_cast<std::uint64_t>(exit_code)) +
         u"\r\n}\r\n";
}

std::u16string FormatJsonFailure(const std::u16string& reason,
                                 const std::u16string& check_version, int exit_code) {
  return u"{\r\n  " + Release(u"", check_version) + u",\r\n  \"error\": " + Quoted(reason) +
         u",\r\n  \"files\": [],\r\n  \"exit_code\": " +
         Decimal(static_cast<std::uint64_t>(exit_code)) + u"\r\n}\r\n";
}

}  // namespace vannix

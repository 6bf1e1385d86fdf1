// Shared set-up for the installer tests: the payload set in the image and readable paths.
#pragma once

#include <openssl/evp.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "installer/catalogue.h"
#include <gtest/gtest.h>

#include "tests/unit/fake_platform.h"

namespace vannix::testing {

inline std::string Narrow(const std::u16string& text) {
  std::string out;
  for (const char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
  return out;
}

// Payload size per entry and variant, small but distinct, so every file tells where it came from.
inline std::size_t PayloadSize(std::size_t index, bool wow64) { return 1000 + index * 37 + (wow64 ? 5 : 0); }

inline std::vector<std::byte> Payload(std::size_t index, bool wow64) {
  return Bytes(PayloadSize(index, wow64), static_cast<unsigned>(index * 2 + (wow64 ? 1 : 0)));
}

// Stores both variants of every entry under upper-case names, as the image does.
inline void AddCataloguePayloads(FakePlatform& fake) {
  for (std::size_t i = 0; i < kCatalogue.size(); ++i) {
    for (const bool wow64 : {false, true}) {
      fake.AddResource((wow64 ? u"64_" : u"32_") + Upper(kCatalogue[i].BaseName), Payload(i, wow64));
    }
  }
}

inline std::string Sha256Hex(const std::vector<std::byte>& bytes) {
  unsigned char digest[32];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
  std::string hex;
  for (const unsigned char b : digest) {
    hex += "0123456789abcdef"[b >> 4];
    hex += "0123456789abcdef"[b & 15];
  }
  return hex;
}

// The file version the table records for a payload: "6.1.<index>.<variant>".
inline std::string PayloadVersion(std::size_t index, bool wow64) {
  return "6.1." + std::to_string(index) + (wow64 ? ".64" : ".32");
}

// The creatable classes the table lists for a server: KorviX (entry 0) declares three, every
// other server one; "{0000000<entry>-000<n>-0000-0000-000000000000}".
inline std::vector<std::u16string> PayloadClasses(std::size_t index) {
  std::vector<std::u16string> classes;
  for (std::size_t n = 0; kCatalogue[index].Register && n < (index == 0 ? 3u : 1u); ++n) {
    classes.push_back(u"{0000000" + std::u16string(1, static_cast<char16_t>(u'0' + index)) +
                      u"-000" + std::u16string(1, static_cast<char16_t>(u'0' + n)) +
                      u"-0000-0000-000000000000}");
  }
  return classes;
}

// The installation check's table for the payloads of AddCataloguePayloads, as the build writes
// it; the servers in `untyped` have no type library (their classes "-").
inline std::string DigestTableText(const std::vector<std::size_t>& untyped = {}) {
  std::string text;
  for (const bool wow64 : {false, true}) {
    for (std::size_t i = 0; i < kCatalogue.size(); ++i) {
      std::string classes;
      for (const std::u16string& clsid : PayloadClasses(i))
        classes += (classes.empty() ? "" : ",") + Narrow(clsid);
      if (classes.empty() || std::find(untyped.begin(), untyped.end(), i) != untyped.end())
        classes = "-";
      text += std::string(wow64 ? "64 " : "32 ") + Narrow(EntryFileName(kCatalogue[i])) + " " +
              std::to_string(PayloadSize(i, wow64)) + " " + Sha256Hex(Payload(i, wow64)) + " " +
              PayloadVersion(i, wow64) + " " + classes + "\n";
    }
  }
  return text;
}

// Windows' Task Scheduler as schtasks.exe of the system directory shows it, and the start of
// Windows that runs its start-up tasks. A task is its key in the task cache and its definition's
// file in the native Tasks folder, which the service writes as any process does: on the disk
// once the hive is flushed, the file at once. A file without its key (the key lost with the
// power) is no task, and /create of its name then fails, as on Windows. /create keeps the
// definition file's bytes, /delete drops the task, /query tells whether it exists; schtasks
// exits with `exit_code` where it would succeed. regsvr32 children do what `regsvr32` says;
// every other child exits 0.
struct FakeScheduler {
  static constexpr char16_t kTasks[] = u"C:\\Windows\\System32\\Tasks\\";
  static constexpr char16_t kCache[] =
      u"HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Schedule\\TaskCache\\Tree\\";

  std::uint32_t exit_code = 0;
  int runs = 0;
  std::function<void(FakePlatform&, const std::u16string& target)> regsvr32;

  void Attach(FakePlatform& fake) {
    fake.on_child = [this, &fake](const ProcessStart& child) {
      fake.child_exit_code = 0;
      if (!child.application) return;
      if (child.application->ends_with(u"\\regsvr32.exe")) {
        if (regsvr32) regsvr32(fake, LastQuoted(child.command_line));
        return;
      }
      if (!child.application->ends_with(u"\\schtasks.exe")) return;
      ++runs;
      const std::u16string name = Quoted(child.command_line, u"/tn \"");
      const bool known = fake.HasRegistryKey(kCache + name);
      bool done = exit_code == 0;
      if (child.command_line.find(u" /query ") != std::u16string::npos) {
        done = done && known;
      } else if (child.command_line.find(u" /delete ") != std::u16string::npos) {
        done = done && known && Remove(fake, name);
      } else if (done && !known && fake.Exists(kTasks + name)) {
        done = false;  // "Cannot create a file when that file already exists."
      } else if (done) {
        fake.AddFile(kTasks + name, fake.At(Quoted(child.command_line, u"/xml \"")).bytes);
        fake.WriteRegistryKeyAsService(kCache + name);
      }
      fake.child_exit_code = done ? 0 : 1;
    };
  }

  // The store's tasks (their definitions by name); with `orphans`, the files without a task too.
  std::map<std::u16string, std::u16string> Tasks(const FakePlatform& fake,
                                                 bool orphans = false) const {
    std::map<std::u16string, std::u16string> tasks;
    for (const std::u16string& path : fake.Paths()) {
      if (!path.starts_with(kTasks)) continue;
      const std::u16string name = path.substr(std::u16string_view(kTasks).size());
      if (!orphans && !fake.HasRegistryKey(kCache + name)) continue;
      const std::vector<std::byte>& bytes = fake.At(path).bytes;
      std::u16string text;
      for (std::size_t i = 2; i + 1 < bytes.size(); i += 2)  // after the byte order mark
        text += static_cast<char16_t>(std::to_integer<unsigned>(bytes[i]) |
                                      std::to_integer<unsigned>(bytes[i + 1]) << 8);
      tasks[name] = text;
    }
    return tasks;
  }

  // Windows has started: every start-up task runs its actions in order.
  void RunStartUpTasks(FakePlatform& fake) {
    for (const auto& [name, definition] : Tasks(fake)) {
      EXPECT_NE(definition.find(u"<BootTrigger>"), std::u16string::npos) << Narrow(name);
      for (std::size_t at = definition.find(u"<Command>"); at != std::u16string::npos;
           at = definition.find(u"<Command>", at + 1)) {
        const std::u16string command = Between(definition, at, u"<Command>", u"</Command>");
        const std::u16string arguments = Between(definition, at, u"<Arguments>", u"</Arguments>");
        if (command.ends_with(u"\\regsvr32.exe") && regsvr32)
          regsvr32(fake, LastQuoted(arguments));
        if (command.ends_with(u"\\schtasks.exe") && arguments.starts_with(u"/delete"))
          Remove(fake, name);
      }
    }
  }

  static bool Remove(FakePlatform& fake, const std::u16string& name) {
    const bool there = fake.Exists(kTasks + name);
    fake.RemoveFile(kTasks + name);
    fake.DeleteRegistryKeyAsService(kCache + name);
    return there;
  }
  // The text between `opening` (which ends with a quote) and the next quote.
  static std::u16string Quoted(const std::u16string& line, const std::u16string& opening) {
    const auto start = line.find(opening);
    if (start == std::u16string::npos) return {};
    const auto from = start + opening.size();
    return line.substr(from, line.find(u'"', from) - from);
  }
  static std::u16string LastQuoted(const std::u16string& line) {
    const auto close = line.rfind(u'"');
    const auto open = close == std::u16string::npos || close == 0 ? std::u16string::npos
                                                                  : line.rfind(u'"', close - 1);
    return open == std::u16string::npos ? std::u16string{} : line.substr(open + 1, close - open - 1);
  }
  static std::u16string Between(const std::u16string& text, std::size_t from,
                                const std::u16string& open, const std::u16string& close) {
    const auto start = text.find(open, from);
    if (start == std::u16string::npos) return {};
    const auto end = text.find(close, start);
    return text.substr(start + open.size(), end - start - open.size());
  }
};

inline std::vector<std::byte> AsBytes(const std::string& text) {
  std::vector<std::byte> bytes;
  for (const char c : text) bytes.push_back(static_cast<std::byte>(c));
  return bytes;
}

}  // namespace vannix::testing

#include "cue/cue_sheet.h"

#include <fcntl.h>
#include <libcue/libcue.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace pulsemill {

namespace {

constexpr std::size_t kMaxTrackNameBytes = 200;

Status refused(int line, const std::string& why) {
  return Status(StatusCode::InputRefused)
      .because((line > 0 ? "line " + std::to_string(line) + ": " : std::string()) + why);
}

// The words of a sheet line; a quoted word keeps its spaces.
std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> found;
  for (std::size_t at = 0; at < line.size();) {
    if (std::isspace(static_cast<unsigned char>(line[at]))) {
      ++at;
      continue;
    }
    std::size_t end;
    if (line[at] == '"') {
      end = line.find('"', at + 1);
      if (end == std::string::npos) end = line.size();
      found.push_back(line.substr(at + 1, end - at - 1));
      at = end + 1;
      continue;
    }
    for (end = at; end < line.size() && !std::isspace(static_cast<unsigned char>(line[end])); ++end) {
    }
    found.push_back(line.substr(at, end - at));
    at = end;
  }
  return found;
}

// mm:ss:ff as CD frames; false when it is not one (ss < 60, ff < 75).
bool readCueTime(const std::string& text, std::uint64_t& frames) {
  unsigned long parts[3];
  std::size_t at = 0;
  for (int i = 0; i < 3; ++i) {
    const std::size_t start = at;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) ++at;
    if (at == start || at - start > 6 || (i < 2 && (at >= text.size() || text[at] != ':'))) return false;
    parts[i] = std::strtoul(text.substr(start, at - start).c_str(), nullptr, 10);
    if (i < 2) ++at;
  }
  if (at != text.size() || parts[1] >= 60 || parts[2] >= 75) return false;
  frames = (parts[0] * 60 + parts[1]) * 75 + parts[2];
  return true;
}

std::string cueTime(std::uint64_t frames) {
  char text[32];
  std::snprintf(text, sizeof text, "%02llu:%02llu:%02llu",
                static_cast<unsigned long long>(frames / 75 / 60),
                static_cast<unsigned long long>(frames / 75 % 60),
                static_cast<unsigned long long>(frames % 75));
  return text;
}

std::string text(const char* value) { return value != nullptr ? value : ""; }

// libcue's parse of `text`, its lexer's complaints kept off standard error
// (the scan has named the faults it matters to; sheets are read before
// any conversion starts, on one thread).
Cd* parseQuietly(const std::string& text) {
  std::fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (saved >= 0 && null >= 0) dup2(null, STDERR_FILENO);
  Cd* cd = cue_parse_string(text.c_str());
  std::fflush(stderr);
  if (saved >= 0 && null >= 0) dup2(saved, STDERR_FILENO);
  if (null >= 0) close(null);
  if (saved >= 0) close(saved);
  return cd;
}

}  // namespace

Status parseCueSheet(const std::string& input, CueSheet& sheet) {
  sheet = CueSheet();
  const std::string body = input.compare(0, 3, "\xEF\xBB\xBF") == 0 ? input.substr(3) : input;
  // The structure, with the lines libcue does not give: FILE, TRACK and
  // INDEX in order.
  int trackLine = 0;            // of the open track; 0: none
  int lastNumber = -1;          // the open track's last INDEX number
  bool hasStart = false;        // the open track has its INDEX 01
  std::uint64_t lastIndex = 0;  // the last index in the current FILE
  int lastIndexLine = 0;        // 0: none yet in this FILE
  int lineNumber = 0;
  std::string forLibcue;  // the sheet as libcue reads it
  for (std::size_t at = 0; at <= body.size();) {
    std::size_t end = body.find('\n', at);
    if (end == std::string::npos) end = body.size();
    const std::string line = body.substr(at, end - at);
    at = end + 1;
    ++lineNumber;
    // A sheet is text: a control character (a NUL, say) is a damaged file.
    for (const char c : line)
      if ((static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\r') || c == 0x7F) {
        char code[8];
        std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned>(static_cast<unsigned char>(c)));
        return refused(lineNumber, std::string("a control character (") + code + ")");
      }
    const std::vector<std::string> w = words(line);
    // libcue reads commands in upper case only, and lines that end.
    std::string command = w.empty() ? std::string() : w[0];
    for (char& c : command) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::size_t first = line.find_first_not_of(" \t");
    forLibcue += first == std::string::npos || line[first] == '"'
                     ? line
                     : line.substr(0, first) + command + line.substr(first + command.size());
    forLibcue += '\n';
    if (w.empty()) continue;
    if (command == "FILE") {
      if (w.size() < 2) return refused(lineNumber, "FILE without a name");
      sheet.files.push_back(w[1]);
      sheet.fileLines.push_back(lineNumber);
      lastIndexLine = 0;
    } else if (command == "TRACK") {
      if (sheet.files.empty()) return refused(lineNumber, "TRACK before any FILE");
      if (trackLine > 0 && !hasStart) return refused(trackLine, "TRACK without INDEX 01");
      CueTrack track;
      track.number = w.size() > 1 ? std::atoi(w[1].c_str()) : 0;
      if (track.number < 1 || track.number > 99)
        return refused(lineNumber, "TRACK number '" + (w.size() > 1 ? w[1] : std::string()) +
                                       "' is not 01 to 99");
      if (!sheet.tracks.empty() && track.number <= sheet.tracks.back().number)
        return refused(lineNumber, "TRACK " + w[1] + " after TRACK " +
                                       std::to_string(sheet.tracks.back().number));
      sheet.tracks.push_back(track);
      trackLine = lineNumber;
      hasStart = false;
      lastNumber = -1;
    } else if (command == "INDEX") {
      if (trackLine == 0) return refused(lineNumber, "INDEX outside a TRACK");
      if (w.size() < 2) return refused(lineNumber, "INDEX without a number");
      std::uint64_t frames = 0;
      if (w.size() < 3 || !readCueTime(w[2], frames))
        return refused(lineNumber, "INDEX time '" + (w.size() < 3 ? std::string() : w[2]) +
                                       "' is not mm:ss:ff");
      const int number = std::atoi(w[1].c_str());
      if (w[1].empty() || w[1].size() > 2 ||
          !std::all_of(w[1].begin(), w[1].end(), [](char c) { return c >= '0' && c <= '9'; }))
        return refused(lineNumber, "INDEX number '" + w[1] + "' is not 00 to 99");
      if (number <= lastNumber)
        return refused(lineNumber, "INDEX " + w[1] + " after INDEX " + (lastNumber < 10 ? "0" : "") +
                                       std::to_string(lastNumber) + " of its track");
      lastNumber = number;
      if (lastIndexLine > 0 && frames < lastIndex)
        return refused(lineNumber, "INDEX " + cueTime(frames) + " goes back before the index on line " +
                                       std::to_string(lastIndexLine) + " (" + cueTime(lastIndex) + ")");
      if (number == 1) {
        const std::size_t file = sheet.files.size() - 1;
        if (sheet.tracks.size() > 1) {
          const CueTrack& before = sheet.tracks[sheet.tracks.size() - 2];
          if (before.file == file && before.start == frames)
            return refused(lineNumber, "INDEX 01 " + cueTime(frames) + " starts where the track on line " +
                                           std::to_string(before.line) + " starts");
        }
        CueTrack& track = sheet.tracks.back();
        track.file = file;
        track.start = frames;
        track.line = lineNumber;
        hasStart = true;
      }
      lastIndex = frames;
      lastIndexLine = lineNumber;
    }
  }
  if (sheet.tracks.empty()) return refused(0, "no TRACK in it");
  if (!hasStart) return refused(trackLine, "TRACK without INDEX 01");

  // The texts (quoting, CD-TEXT and REM fields) as libcue reads them.
  Cd* cd = parseQuietly(forLibcue);
  if (cd == nullptr || cd_get_ntrack(cd) != static_cast<int>(sheet.tracks.size())) {
    if (cd != nullptr) cd_delete(cd);
    return refused(0, "libcue cannot read it");
  }
  const Cdtext* album = cd_get_cdtext(cd);
  sheet.title = text(cdtext_get(PTI_TITLE, album));
  sheet.performer = text(cdtext_get(PTI_PERFORMER, album));
  sheet.genre = text(cdtext_get(PTI_GENRE, album));
  sheet.date = text(rem_get(REM_DATE, cd_get_rem(cd)));
  for (std::size_t k = 0; k < sheet.tracks.size(); ++k) {
    const Cdtext* track = track_get_cdtext(cd_get_track(cd, static_cast<int>(k) + 1));
    sheet.tracks[k].title = text(cdtext_get(PTI_TITLE, track));
    sheet.tracks[k].performer = text(cdtext_get(PTI_PERFORMER, track));
  }
  cd_delete(cd);
  return Status();
}

std::uint64_t cueStartSample(const CueSheet& sheet, const CueTrack& track, std::uint32_t sampleRate) {
  return sheet.inSamples ? track.start : track.start * sampleRate / 75;
}

Status checkCueStarts(const CueSheet& sheet, const std::vector<std::uint64_t>& lengths,
                      std::uint32_t sampleRate) {
  for (const CueTrack& track : sheet.tracks) {
    const std::uint64_t length = lengths.at(track.file);
    const std::uint64_t start = cueStartSample(sheet, track, sampleRate);
    if (length == 0 || start < length) continue;
    const std::string at = sheet.inSamples ? "sample " + std::to_string(start)
                                           : "INDEX 01 " + cueTime(track.start);
    return refused(track.line, at + " lies past the end of " + sheet.files[track.file] + " (" +
                                   std::to_string(length) + " samples)");
  }
  return Status();
}

std::string cueTrackName(const CueSheet& sheet, std::size_t k) {
  const CueTrack& track = sheet.tracks[k];
  char number[16];
  std::snprintf(number, sizeof number, "%02d", track.number);
  std::string name = std::string(number) + " - " +
                     (track.title.empty() ? "Track " + std::string(number) : track.title);
  for (char& c : name)
    if (static_cast<unsigned char>(c) < 0x20 || std::string("/\\:*?\"<>|").find(c) != std::string::npos)
      c = '_';
  // Within a file system's 255 bytes, with room for an extension, cut
  // between UTF-8 characters.
  if (name.size() > kMaxTrackNameBytes) {
    std::size_t end = kMaxTrackNameBytes;
    while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
    name.resize(end);
  }
  return name;
}

}  // namespace pulsemill

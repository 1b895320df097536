#include "app/batch_plan.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "base/files.h"
#include "input/input.h"

namespace pulsemill {

namespace fs = std::filesystem;

std::string shown(const std::string& name) { return printableName(name); }

namespace {

// The number a track tag starts with ("3" of "3/12"); -1 when it has none.
long leadingNumber(const std::string& text) {
  char* end = nullptr;
  const long n = std::strtol(text.c_str(), &end, 10);
  return end != text.c_str() && n >= 0 ? n : -1;
}

using FileId = std::pair<dev_t, ino_t>;

bool fileId(const std::string& path, FileId& id) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  id = {st.st_dev, st.st_ino};
  return true;
}

}  // namespace

const InputFacts& probeInput(const std::string& path, InputFacts& facts, bool tags) {
  FileId id;
  if ((facts.probed && (facts.tagged || !tags)) || !fileId(path, id)) return facts;
  facts = InputFacts();
  facts.probed = true;
  InputFile input;
  CapturedReport quiet;  // the header report is not wanted here
  OpenedInput opened;
  if (!input.open(path).ok() || !openInput(input, path, quiet, opened).ok()) return facts;
  facts.readable = true;
  facts.rate = opened.source->sampleRate();
  facts.frames = opened.source->totalFrames();
  if (!tags) return facts;
  facts.tagged = true;
  const TagSet tagSet = readInputTags(opened, input, quiet);
  facts.disc = leadingNumber(tagSet.disc);
  facts.track = leadingNumber(tagSet.track);
  facts.sheetStatus = embeddedCueSheet(opened, tagSet, facts.sheet, facts.carriesSheet);
  return facts;
}

namespace {

constexpr std::uintmax_t kMaxSheetBytes = 1 << 20;

bool isSheetName(const fs::path& path) {
  std::string extension = path.extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".cue";
}

// A sheet's refusal as a job's reason: "SHEET: line N: WHY" ("its CUE
// sheet: ..." for one the image carries).
std::string sheetReason(const SheetAlbum& album, const Status& status) {
  return (album.carried ? std::string("its CUE sheet") : shown(album.name)) + ": " + status.reason();
}

// The ".cue" files of `folder` (empty: the current one) that name (or are named after) one of the
// jobs there: each job they claim gets the sheet, or the sheet's refusal
// as its reason.
void readFolderSheets(const fs::path& folder, std::vector<Job>& jobs,
                      const std::map<FileId, std::size_t>& byFile,
                      std::vector<std::shared_ptr<SheetAlbum>>& claimed) {
  std::error_code error;
  std::vector<fs::path> sheets;
  for (fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, error), end;
       !error && it != end; it.increment(error))
    if (isSheetName(it->path()) && it->is_regular_file(error))
      sheets.push_back(folder / it->path().filename());
  std::sort(sheets.begin(), sheets.end());
  for (const fs::path& path : sheets) {
    // The jobs named like the sheet ("album.cue": album.flac, album.wav).
    std::vector<std::size_t> named;
    for (std::size_t i = 0; i < jobs.size(); ++i)
      if (fs::path(jobs[i].input).parent_path() == folder &&
          fs::path(jobs[i].input).stem() == path.stem())
        named.push_back(i);
    auto album = std::make_shared<SheetAlbum>();
    album->name = path.string();
    Status status;
    if (fs::file_size(path, error) > kMaxSheetBytes) {
      status = Status(StatusCode::InputRefused).because("larger than 1 MiB");
    } else {
      std::ifstream in(path, std::ios::binary);
      std::stringstream text;
      text << in.rdbuf();
      status = parseCueSheet(text.str(), album->sheet);
    }
    // The jobs of the files it names (those before a fault, when it has one).
    std::vector<std::size_t> claims;
    for (std::size_t f = 0; f < album->sheet.files.size(); ++f) {
      const std::string file = (folder / album->sheet.files[f]).string();
      album->files.push_back(file);
      FileId id;
      if (!fileId(file, id)) {
        if (status.ok())
          status = Status(StatusCode::InputRefused)
                       .because("line " + std::to_string(album->sheet.fileLines[f]) + ": FILE \"" +
                                album->sheet.files[f] + "\" is missing");
        continue;
      }
      const auto job = byFile.find(id);
      if (job != byFile.end()) claims.push_back(job->second);
    }
    if (claims.empty()) claims = named;
    for (std::size_t i : claims) {
      if (claimed[i] != nullptr || !jobs[i].reason.empty()) continue;  // the first sheet keeps it
      if (status.ok()) claimed[i] = album;
      else jobs[i].reason = sheetReason(*album, status);
    }
  }
}

// The jobs of the tracks of `album`, an image the job `image` converted
// whole: their outputs in a folder named after the image, their frames
// from the files' declared lengths. False, with the image's reason set,
// when the image cannot be cut so.
bool trackJobs(const BatchSettings& settings, const std::shared_ptr<SheetAlbum>& album, Job& image,
               std::vector<Job>& jobs, const std::map<FileId, std::size_t>& byFile,
               std::vector<Job>& tracks) {
  std::vector<std::uint64_t> lengths;  // 0: not declared, or not readable (its conversion says why)
  std::uint32_t rate = 0;
  for (const std::string& file : album->files) {
    FileId id;
    InputFacts own;  // of a file that is no job of the batch
    const auto job = fileId(file, id) ? byFile.find(id) : byFile.end();
    const InputFacts& facts = probeInput(file, job != byFile.end() ? jobs[job->second].facts : own, false);
    if (rate == 0 && facts.readable) rate = facts.rate;
    lengths.push_back(facts.readable ? facts.frames : 0);
  }
  const Status status = checkCueStarts(album->sheet, lengths, rate);
  if (!status.ok()) {
    image.reason = sheetReason(*album, status);
    return false;
  }
  const fs::path output(image.output);
  const fs::path folder = output.parent_path() / (album->files.size() == 1 ? output.stem()
                                                                           : fs::path(album->name).stem());
  // A track's stream frame: its start in its file after the files before
  // it (the first track's is the stream's first); kUnknown when one of
  // those does not declare its length.
  constexpr std::uint64_t kUnknown = UINT64_MAX;
  std::vector<std::uint64_t> starts;
  for (const CueTrack& track : album->sheet.tracks) {
    std::uint64_t start = starts.empty() ? 0 : cueStartSample(album->sheet, track, rate);
    for (std::size_t f = 0; f < track.file && start != kUnknown && !starts.empty(); ++f)
      start = lengths[f] == 0 ? kUnknown : start + lengths[f];
    starts.push_back(start);
  }
  std::uint64_t total = 0;
  for (std::uint64_t length : lengths) total = length == 0 || total == kUnknown ? kUnknown : total + length;
  for (std::size_t k = 0; k < album->sheet.tracks.size(); ++k) {
    const std::string name = cueTrackName(album->sheet, k);
    tracks.emplace_back(album->files[album->sheet.tracks[k].file],
                        (folder / name).string() + (settings.dsf ? ".dsf" : ".dff"),
                        image.relative + "/" + name);
    Job& track = tracks.back();
    track.sheet = album;
    const std::uint64_t end = k + 1 < starts.size() ? starts[k + 1] : total;
    track.facts.probed = true;  // never the whole image's length
    track.facts.readable = rate != 0;
    track.facts.rate = rate;
    track.facts.frames = end != kUnknown && starts[k] != kUnknown && end > starts[k] ? end - starts[k] : 0;
  }
  return true;
}

}  // namespace

std::vector<Unit> formUnits(const BatchSettings& settings, std::vector<Job>& jobs, Report& console) {
  std::vector<Unit> units;
  std::vector<std::string> keys;
  std::map<std::string, std::vector<Job*>> groups;
  for (Job& job : jobs) {
    if (job.sheet != nullptr) {  // an image's track: with the ones before it
      if (units.empty() || units.back().sheet != job.sheet)
        units.push_back({{}, job.sheet->name, job.sheet});
      units.back().jobs.push_back(&job);
      continue;
    }
    FileId id;
    if (job.output.empty() || !settings.run.album) {  // a folder that could not be read; a file
      units.push_back({{&job}, std::string(), nullptr});
    } else if (!fileId(job.input, id)) {
      // A FIFO's stream belongs to its conversion: it is not probed.
      console.err("pulsemill: %s: not a regular file: converted on its own\n", shown(job.input).c_str());
      units.push_back({{&job}, std::string(), nullptr});
    } else {
      if (groups.find(job.folder) == groups.end()) keys.push_back(job.folder);
      groups[job.folder].push_back(&job);
    }
  }
  for (const std::string& key : keys) {
    struct Probe {
      Job* job;
      std::uint32_t rate;  // 0: it cannot be opened (the album then fails on it)
      long disc, track;
    };
    std::vector<Probe> probes;
    std::map<std::uint32_t, std::size_t> rates;
    for (Job* job : groups[key]) {
      const InputFacts& facts = probeInput(job->input, job->facts, true);
      probes.push_back({job, facts.readable ? facts.rate : 0, facts.disc, facts.track});
      if (facts.readable) ++rates[facts.rate];
    }
    std::uint32_t albumRate = 0;
    std::size_t most = 0;
    for (const Probe& probe : probes)  // the most common rate; the first file's on a tie
      if (probe.rate != 0 && rates[probe.rate] > most) most = rates[albumRate = probe.rate];
    std::vector<Probe> tracks;
    for (const Probe& probe : probes) {
      if (probe.rate == albumRate || probe.rate == 0) {
        tracks.push_back(probe);
        continue;
      }
      console.err("pulsemill: %s: %u Hz, not the album's %u Hz: converted on its own\n",
                  shown(probe.job->input).c_str(), probe.rate, albumRate);
      units.push_back({{probe.job}, std::string(), nullptr});
    }
    const bool numbered = !key.empty() && std::all_of(tracks.begin(), tracks.end(),
                                                      [](const Probe& p) { return p.track >= 0; });
    if (numbered)
      std::stable_sort(tracks.begin(), tracks.end(), [](const Probe& a, const Probe& b) {
        return std::make_pair(std::max(a.disc, 0L), a.track) < std::make_pair(std::max(b.disc, 0L), b.track);
      });
    Unit album{{}, key.empty() ? "the files given" : key, nullptr};
    for (const Probe& probe : tracks) album.jobs.push_back(probe.job);
    if (!album.jobs.empty()) units.push_back(std::move(album));
  }
  for (Unit& unit : units) {
    if (unit.album.empty()) continue;
    for (Job* job : unit.jobs) job->inAlbum = true;
    // A track that cannot be done (an output taken or in the way) fails
    // its album: nothing of it is written.
    const auto failed = std::find_if(unit.jobs.begin(), unit.jobs.end(),
                                     [](const Job* job) { return !job->reason.empty(); });
    if (failed != unit.jobs.end()) {
      for (Job* job : unit.jobs) {
        job->planned = false;
        job->outcome = Outcome::Failed;
        if (job != *failed)
          job->reason = "album not converted: " + shown((*failed)->output) + ": " + (*failed)->reason;
      }
      continue;
    }
    if (std::all_of(unit.jobs.begin(), unit.jobs.end(),
                    [](const Job* job) { return job->outcome == Outcome::Skipped; }))
      continue;
    for (Job* job : unit.jobs) {  // converted whole
      job->planned = true;
      job->outcome = Outcome::Failed;
      job->otherSettings.clear();
    }
  }
  return units;
}

void applyCueSheets(const BatchSettings& settings, std::vector<Job>& jobs, Report& console) {
  if (settings.noCue || !settings.output.empty()) return;  // -o names one output
  std::map<FileId, std::size_t> byFile;
  std::set<fs::path> folders;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    FileId id;
    if (!jobs[i].reason.empty() || !fileId(jobs[i].input, id)) continue;
    byFile.emplace(id, i);
    folders.insert(fs::path(jobs[i].input).parent_path());
  }
  std::vector<std::shared_ptr<SheetAlbum>> claimed(jobs.size());
  for (const fs::path& folder : folders)
    readFolderSheets(folder, jobs, byFile, claimed);
  // A sheet the image carries, when no ".cue" file claimed it.
  for (const auto& [id, i] : byFile) {
    if (claimed[i] != nullptr || !jobs[i].reason.empty()) continue;
    const InputFacts& facts = probeInput(jobs[i].input, jobs[i].facts, true);
    if (!facts.carriesSheet) continue;
    auto album = std::make_shared<SheetAlbum>();
    album->name = jobs[i].input;
    album->carried = true;
    album->sheet = facts.sheet;
    if (!facts.sheetStatus.ok()) {
      jobs[i].reason = sheetReason(*album, facts.sheetStatus);
      continue;
    }
    album->files = {jobs[i].input};
    album->sheet.files = {fs::path(jobs[i].input).filename().string()};  // whatever name it gives
    claimed[i] = album;
  }
  // Each image's tracks in its place; the other files of a sheet's image go.
  std::vector<Job> planned;
  std::set<const SheetAlbum*> placed;
  for (std::size_t i = 0; i < jobs.size(); ++i) {
    const std::shared_ptr<SheetAlbum>& album = claimed[i];
    if (album == nullptr) {
      planned.push_back(std::move(jobs[i]));
      continue;
    }
    if (!placed.insert(album.get()).second) continue;
    std::vector<Job> tracks;
    if (trackJobs(settings, album, jobs[i], jobs, byFile, tracks)) {
      if (settings.verbose)
        console.err("pulsemill: %s: %zu tracks by %s\n", shown(jobs[i].input).c_str(), tracks.size(),
                    shown(album->name).c_str());
      for (Job& track : tracks) planned.push_back(std::move(track));
    } else {
      planned.push_back(std::move(jobs[i]));
    }
  }
  jobs = std::move(planned);
}

}  // namespace pulsemill

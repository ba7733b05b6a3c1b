// The render's temporary file: a name in the temporary folder made of the
// time of day ("hhmmss"), a number from 01 to 20 and ".tmp", reserved for
// one render only.
//
// Reservation. The name is taken by creating the file exclusively (O_EXCL),
// so two renders in the same second, in two threads or two processes, can
// never share it: on a collision another of the 20 numbers is drawn, and
// when all 20 names of this second are taken the reservation waits for the
// next second and tries its names, up to a bound after which it gives up
// with 58 (File already exists) and a description that says why.
//
// Ownership. The owner deletes the file when it goes, on every way out of
// the render, so a failed render leaves no user's chart behind. The writers
// replace the reserved (empty) file at path().
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace qz::delivery {

inline constexpr int kTempNumbers = 20;  // 01 .. 20
inline constexpr std::chrono::milliseconds kDefaultReserveBound{3000};

// The render's pseudo-random generator, re-seeded from the clock for every
// render: cheap to seed, uniform enough to spread 20 names.
using TempRandom = std::minstd_rand;
TempRandom SeededFromClock();

// The twelve characters after the folder: hh mm ss nn ".tmp".
std::string TempFileName(int hour, int minute, int second, int number);

class ReservedTempFile {
 public:
  // Reserves a name in folder (as GetTmpPath answers it: "" or ending in the
  // separator). random is the render's generator, freshly seeded from the
  // clock; its first draw picks the first number tried. Raises 58 when no
  // name could be reserved within bound, 75 (Path/File access error) when
  // the folder refuses the file for another reason.
  ReservedTempFile(std::string_view folder, TempRandom& random,
                   std::chrono::milliseconds bound = kDefaultReserveBound);
  ReservedTempFile(const ReservedTempFile&) = delete;
  ReservedTempFile& operator=(const ReservedTempFile&) = delete;
  ~ReservedTempFile();

  const std::string& path() const noexcept { return path_; }

 private:
  std::string path_;
};

// What a stale file is: how long ago it was last written at the least.
// A sibling lives while one image is encoded and a temporary chart while
// one render lasts, both far below these ages.
inline constexpr std::chrono::seconds kStaleSiblingAge{60};
inline constexpr std::chrono::seconds kStaleTempChartAge{3600};

// Removes from folder (GetTmpPath's folder when empty) what renders that
// ended abnormally (a killed process) left behind, and nothing else:
// - the writers' sibling files, by their name form, whose process is gone
//   and which are older than sibling_age;
// - temporary charts: names of the form above, files private to this
//   user (mode 0600), empty or holding a JPEG, BMP, PNG or SVG image, older than
//   chart_age.
// Only regular files of this process's user with a single link are
// removed; links, folders and every other name are left alone. Answers
// how many files it removed; a folder that cannot be read removes none.
int RemoveStaleTempFiles(std::string_view folder = {},
                         std::chrono::seconds sibling_age = kStaleSiblingAge,
                         std::chrono::seconds chart_age = kStaleTempChartAge);

}  // namespace qz::delivery

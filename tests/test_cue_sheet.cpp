// CUE sheets as rippers write them: a byte-order mark, CRLF line ends,
// commands in lower case, no newline after the last line; the index
// formula; the track names.
#include <gtest/gtest.h>

#include <string>

#include "cue/cue_sheet.h"

namespace {

TEST(CueSheet, ReadsSheetsAsRippersWriteThem) {
  const std::string text =
      "\xEF\xBB\xBFREM DATE 1977\r\nPERFORMER \"The Band\"\r\nTITLE \"Live / Loud\"\r\n"
      "FILE \"Live.wav\" WAVE\r\n  track 01 audio\r\n    title \"Intro\"\r\n    index 01 00:00:00\r\n"
      "  TRACK 02 AUDIO\r\n    TITLE \"Song: Two\"\r\n    PERFORMER \"Guest\"\r\n"
      "    INDEX 00 00:00:70\r\n    INDEX 01 00:01:05";
  pulsemill::CueSheet sheet;
  const pulsemill::Status status = pulsemill::parseCueSheet(text, sheet);
  ASSERT_TRUE(status.ok()) << status.reason();
  EXPECT_EQ("Live / Loud", sheet.title);
  EXPECT_EQ("The Band", sheet.performer);
  EXPECT_EQ("1977", sheet.date);
  ASSERT_EQ(1u, sheet.files.size());
  EXPECT_EQ("Live.wav", sheet.files[0]);
  ASSERT_EQ(2u, sheet.tracks.size());
  EXPECT_EQ("Intro", sheet.tracks[0].title);
  EXPECT_EQ("Guest", sheet.tracks[1].performer);
  EXPECT_EQ(12, sheet.tracks[1].line);
  // 00:01:05 at 44.1 kHz: 44100 + 5 x 588.
  EXPECT_EQ(47040u, pulsemill::cueStartSample(sheet, sheet.tracks[1], 44100));
  EXPECT_EQ(48000u + 3200u, pulsemill::cueStartSample(sheet, sheet.tracks[1], 48000));
  EXPECT_EQ("01 - Intro", pulsemill::cueTrackName(sheet, 0));
  sheet.tracks[1].title = "A/B:" + std::string(300, 'x') + "\xC3\xA9";
  const std::string name = pulsemill::cueTrackName(sheet, 1);
  EXPECT_EQ(0u, name.find("02 - A_B_xxx"));
  EXPECT_EQ(200u, name.size());
}

}  // namespace

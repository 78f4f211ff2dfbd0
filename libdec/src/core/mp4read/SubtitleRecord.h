// Calibration records stored at the very end of a text-track sample. Both kinds
// share one little-endian layout and differ only in size (room for 5 or 4 lens
// blocks):
//   0  16 bytes   not interpreted
//   16 u16        imageWidth
//   18 u16        imageHeight
//   20 u32        lensCode
//   24 u8         lensCount
//   25 7 bytes    not interpreted
//   32 + 32i      lens block i: six s32 thousandths (radius, centerX, centerY,
//                 yaw, pitch, roll), then 8 bytes not interpreted
// Kept as raw bytes: a record may start at any address inside a sample buffer.
#pragma once

#include <cstddef>

struct mnd_data_video_r {
    unsigned char bytes[192];
};

struct mnd_data_video_s {
    unsigned char bytes[160];
};

// Room in the text buffer that ChangeToSubtitleOffset fills, terminator excluded.
const size_t kSubtitleOffsetMaxChars = 160;

// ChangeToSubtitleOffset itself is declared in CMp4Read.h. A record that claims
// more lenses than it has blocks for, or whose text would not fit in 160
// characters, gives the empty text (which the acceptance rule refuses).

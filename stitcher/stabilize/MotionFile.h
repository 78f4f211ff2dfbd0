// The motion file: per frame, the camera's measured orientation, the
// smoothed path the view follows and the correction applied to the view,
// each as yaw, pitch and roll in degrees. Comma-separated text, one header
// line, then one line per frame:
//   frame,measured_yaw,measured_pitch,measured_roll,smoothed_yaw,smoothed_pitch,smoothed_roll,
//   correction_yaw,correction_pitch,correction_roll
// (one line), lines starting with '#' and empty ones ignored. A run that
// reads a file applies its corrections as they are; the values are written
// with a fixed number of decimals and every run applies them as written,
// so that a file gives the same output as the run that wrote it.
#pragma once

#include <string>
#include <vector>

#include "Status.h"

namespace stitcher {

struct MotionRow {
    long long frame = 0;                 // clip frame, from 1
    double measured[3] = {0, 0, 0};      // yaw, pitch, roll
    double smoothed[3] = {0, 0, 0};
    double correction[3] = {0, 0, 0};
};

// Angles as the file holds them (rounded to its decimals).
double asWritten(double degrees);

std::string formatMotion(const std::vector<MotionRow>& rows);
// Fails, naming the line, on anything but a header and rows of ten finite
// numbers with frames rising and angles within +-360.
Status parseMotion(const std::string& text, std::vector<MotionRow>& rows);

Status readMotionFile(const std::string& path, std::vector<MotionRow>& rows);

// Writes formatMotion's text to `path` (kExitOutput where it cannot).
Status writeMotionText(const std::string& path, const std::string& text);

}  // namespace stitcher

// The view rotation of the re-projection pass, from the angles a user gives.
#pragma once

// The 4x4 matrix that Spherecast::updateRotation takes (m[i] is column i)
// for a view turned by yaw, pitch and roll in degrees: it maps each output
// direction to the direction looked up in the stitched panorama.
// R = Rz(yaw) Ry(pitch) Rx(roll): positive yaw turns the view to the right,
// positive pitch tilts it up, roll turns it about the viewing direction (to
// level a tilted horizon).
void viewRotationMatrix(double yaw, double pitch, double roll, float m[4][4]);

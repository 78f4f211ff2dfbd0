// libspherecast: internal C++ interface for this project's own hosts (not
// part of the exported Spherecast class). No exception leaves it.
#pragma once

#include <functional>
#include <string>

class Spherecast;

namespace spherecast {

// The renderer's messages for its host (its progress, its log lines and why
// a context could not be made, which it otherwise prints on standard output
// and standard error), one line each, line ends removed. With a sink set
// nothing of them is printed; an empty sink restores the printing. The log
// file is written either way. The sink is called on the thread that renders.
// kMessageReason: why something failed, which would otherwise go to standard error.
// kMessageLog: the log's own complaints about its folder or file (such as
// that the folder it goes under is missing); a host may leave them out.
enum MessageLevel { kMessageError = 0, kMessageInfo = 1, kMessageReason = 2, kMessageLog = 3 };
using MessageSink = std::function<void(int level, const std::string& line)>;
__attribute__((visibility("default"))) void SetMessageSink(MessageSink sink);
// The sink set now (empty when none).
__attribute__((visibility("default"))) MessageSink GetMessageSink();

// The second pass's lookup of the stitched panorama: by default at the
// nearest texel (exact for the identity view only); `linear` reads it
// bilinearly, wrapping around the 0/360 degree line, for a view that turns
// by fractions of a texel from frame to frame. Before or after initRenderer;
// the renderer takes it on its own thread, when it is set up and with each
// frame it renders.
__attribute__((visibility("default"))) void SetLinearPanoramaLookup(Spherecast& renderer, bool linear);

}  // namespace spherecast

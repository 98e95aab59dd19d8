// Carrying work to the GUI thread: widgets may only be touched there. A call from a worker
// waits until the GUI thread has done it, as a sent window message would.
#pragma once

#include <functional>

namespace fern {

// Runs f on the GUI thread and returns when it is done; on the GUI thread itself, at once.
void RunOnGuiThread(const std::function<void()>& f);

}  // namespace fern

// What the browser does with its window: serve the user until the window is
// closed, or run the steps the command line gives (open an item of the view,
// go up or back, take a picture) in the live window, each once the view has
// filled, and close it after the last. Scripts and tests drive the real shell
// view this way.
#pragma once

#include "BrowserFrame.h"

#include <string>
#include <vector>

namespace cfxbrowse {

struct Step {
    enum class Kind { Open, Up, Back, Screenshot };
    Kind kind;
    std::wstring argument; // the item's name, or the picture's file
};

void runWindow(BrowserFrame& frame);

// Raises a described error for the first step that fails; the window is closed
// either way.
void runScript(BrowserFrame& frame, const std::vector<Step>& steps);

} // namespace cfxbrowse

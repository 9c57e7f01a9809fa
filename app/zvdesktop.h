// The GTK desktop: installs the windows, browsers, tray and message boxes into the spine.
#pragma once

// Call once before zvbrowser__main. Without a display the windows' creation later fails with
// the reason on standard error, and the program ends with 0.
void zvdesktop__install();

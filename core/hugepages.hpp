#pragma once

namespace quadrix {

// On Linux, restarts the program once with glibc's malloc set to ask for
// transparent huge pages (glibc reads that setting only at start-up). The
// large images, triplet lists and factors of a big photo are touched for the
// first time during one build, and with 4 KiB pages those first-touch faults
// cost more than the arithmetic. Returns normally when nothing is to be done
// or the restart is not possible.
void PreferHugePages(char** argv);

}  // namespace quadrix

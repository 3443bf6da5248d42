// Counts what a process holds of the system's objects, to show that repeated
// work gives back everything it takes: kernel handles, GDI objects (fonts,
// pens, bitmaps, DCs) and USER objects (windows, icons, menus).
//
// Wine 8 answers GetProcessHandleCount with 0 and does not implement
// GetGuiResources, so where those give nothing the counts come from what Wine
// does provide: the system handle list (NtQuerySystemInformation), the GDI
// handle table the process maps (PEB GdiSharedHandleTable, one per process
// under Wine), and probes of the USER handle table.
#pragma once

#include <ostream>

namespace cfx::test {

struct ProcessObjects {
    long kernel = 0;
    long gdi = 0;
    long user = 0;
};

ProcessObjects countProcessObjects();

std::ostream& operator<<(std::ostream& out, const ProcessObjects& counts);

} // namespace cfx::test

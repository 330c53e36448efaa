// libxml2 holds the state document's text (the whole card: PINs, keys, private
// key components) in buffers of its own. initLibxml() has every block libxml2
// frees wiped first, and sets up its parser, once for the whole process.
#pragma once

namespace quillon::container {

// Before the first libxml2 call of this program, from any thread, as often as
// wanted. libxml2's memory functions are process-wide: a program (or, for the
// reader driver, a host process) that gave libxml2 functions of its own keeps
// them. Unloading this code gives libxml2 back the functions it had.
void initLibxml();

}  // namespace quillon::container

// Texts kept for the whole process, one copy per distinct text: the file and function names of
// call sites that records keep beyond the call (pool blocks, MDLs, the fault injector's sites).
// Interning one costs no allocation once it has been seen, and two interned texts are equal
// exactly when their pointers are.
#pragma once

namespace sim {

// The process's copy of `text` (a null text reads "?"). Thread-safe; the copy is never freed.
const char* internText(const char* text);

} // namespace sim

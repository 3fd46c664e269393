// Placing a child's standard streams: the one routine that puts the descriptors a child was
// given onto 0, 1 and 2 before its program starts, for both engines.
//
// place_streams(sources) makes descriptor target (0, 1, 2) refer to the file of
// sources[target]; -1 leaves that target as it is. A source already on its own target stays
// and loses close-on-exec, so that the program keeps it. A source among 0..2 that is another
// stream's target is first copied above 2 (close-on-exec), so that an earlier placement
// cannot overwrite it; sources then holds the copy. Interrupted calls are repeated. The
// sources are not closed: they are close-on-exec or closed with the rest before exec.
//
// Guarantees: system calls only (no heap, no lock, no stdio), so that a child that shares the
// tool's memory may call it.
//
// DIAGNOSTICS: returns -1 when every stream is in place, else the target (0, 1 or 2) whose
// placement failed, with errno from the failed call.
#pragma once

int place_streams(int sources[3]);

// The process state the tool starts from. The panel process that starts the tool may leave
// it almost anything: standard streams closed, descriptors of its own open, signals blocked
// or ignored, any file creation mask. Before the document is read, the entry brings the
// process to one known state so that nothing inherited changes what a run does.
#pragma once

namespace corvo {

// Descriptors 0, 1 and 2 open (a closed one gets /dev/null, so that no later open can land
// on it and no diagnostic can end up in a lock file, a table or a pipe); every other
// descriptor closed; an empty signal mask; every signal at its default action (the engines
// install their own for SIGCHLD and SIGPIPE while they run); file creation mask 022.
//
// DIAGNOSTICS: when /dev/null cannot be opened the process ends with status 1 through the
// message routine; nothing else here can fail on Linux.
void resetInheritedState();

} // namespace corvo

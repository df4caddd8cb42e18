// Whether this process is a COM surrogate: a host that the platform starts to
// run an in-process server out of its client's process (dllhost.exe, or the
// surrogate that the class's application identifier names), for a client
// that cannot load the library itself, such as one of the other bitness.
#pragma once

// True when the process was started as a surrogate: its first argument is
// "/PROCESSID:" followed by the identifier it serves (the letters in any case),
// as the platform starts every surrogate. Reads the command line on every call.
bool RunsAsComSurrogate() noexcept;

// The program's console, as a terminal front end sees it: its standard output and error, whether
// they reach a person's terminal, its width, and the cursor kept visible whatever ends the program.
#pragma once

#include <cstddef>

enum class ConsoleStream { Out, Err };

// True when standard output is a terminal that takes the VT100 escapes a view redrawn in place
// uses (POSIX: a terminal whose TERM is not "dumb"; Windows: a console with virtual-terminal
// processing).
bool ConsoleIsTerminal();

// Standard output's width in columns; 0 when unknown.
unsigned ConsoleColumns();

// Writes all of `text`, retrying interrupted and partial writes. A reader that has gone away (a
// closed pipe, a hung-up terminal) only loses the text.
void ConsoleWrite(ConsoleStream stream, const char* text, size_t size);

// While on, the view may have hidden standard output's cursor: should the program stop (Ctrl-Z) or
// die of a signal meanwhile, the cursor is shown first, and hidden again once it resumes.
void ConsoleGuardCursor(bool on);

// True once after the program was resumed from a stop (what it drew may have scrolled away).
bool ConsoleTakeResumed();

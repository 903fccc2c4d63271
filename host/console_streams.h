// Keeps the console streams apart from the serial port whatever the program was started with.
#pragma once

// Reopens a closed standard input, output or error on the null device, so the port opened later
// cannot take its number and carry console text; a reader of the output that goes away makes
// writes fail instead of ending the program. Also leaves standard output unbuffered and gives
// standard input a static buffer. Call first thing in main.
void hostKeepConsoleStreams();

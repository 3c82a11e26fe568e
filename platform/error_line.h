// lsmac's one line on standard error, in words the user's system can show.
#ifndef LSMAC_PLATFORM_ERROR_LINE_H_
#define LSMAC_PLATFORM_ERROR_LINE_H_

// Writes `line`, UTF-8 text without its line end, and a line end to standard
// error.
void WriteErrorLine(const char* line);

#endif  // LSMAC_PLATFORM_ERROR_LINE_H_

#pragma once
// A site's row of the site table from what "perchman /time_network" printed
// on a machine at that site: its detail lines of averages (message 94), one
// per server and pass.

#include <string>

// Reads path and makes the row "NAME SERVER=MS|SERVER=down ...", servers in
// the order the run names them: the median of the passes' averages (one pass
// delayed by a busy machine does not move it), down for a server without a
// successful sample in any pass. False with *error naming the file and line.
bool MakeSiteRow(const char* name, const char* path, std::string* row, std::string* error);

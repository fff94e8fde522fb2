#pragma once
// Detail lines of the logic that also runs natively under the fuzz targets
// (the search's walk and choice, the walk of a server's keys): declared with
// no Windows header, so that a target can stand in its own. The program's
// prints message messageId of the string table as a detail line.

void PrintDetailMessage(unsigned messageId, ...);

#pragma once

class Program;

// Help > Help: opens "<program folder>/Help/OrvelSorvik.htm" in the desktop's browser, telling
// the administrator when that cannot be done. Never fails towards its caller.
void LaunchHelpFile(Program &program);

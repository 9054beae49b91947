#pragma once

class Program;

// Help > Help: opens "<program folder>/Help/OrvelSorvik.htm" in the desktop's browser, telling
// the administrator when that cannot be done; without a program for the page (a server without a
// desktop) it offers the page in a reader of its own. Never fails towards its caller.
void LaunchHelpFile(Program &program);

#pragma once

#include "app/SetUpCheck.h"

class Program;

// Obfuscation as "--check" shows it: off, or on with the stand-ins kept and the site's words;
// fails when a run would be refused because cleaning cannot be set up.
SetUpCheck cleaningCheck(Program &program);

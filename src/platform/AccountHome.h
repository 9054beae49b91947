#pragma once

// Gives the process a HOME where it has none, an empty one or one that is no full path (a service
// started without an account of its own, `env -i`): the home folder of the account it runs as.
// Without it the toolkit takes "/" for home, and the settings, state and tasks a login shell stored
// would not be found, nor new ones put where the account keeps them.
void takeHomeFromAccount();

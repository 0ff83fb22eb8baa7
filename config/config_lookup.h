// Internal to the configuration store and the logger; not part of the public
// configuration API.
#pragma once

// The value at key in configDB, or null. Unlike get_config_string it creates
// no elements: the logger looks levels up with it, and a lookup that had to
// allocate could fail, log that failure and so look a level up again from
// inside its own lookup.
const char* find_config_string(const char* key);

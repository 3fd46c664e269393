// Reader of one value from an INI file.
//
// Lines are trimmed of surrounding white space and cut at the first ';' (a comment; '#'
// means nothing). "[name]" opens a section, its name taken verbatim between the brackets;
// "key = value" is a key line. Lines before the first section belong to none and never
// match. Names compare byte for byte, case-sensitively; quotes are kept in values.
//
// DIAGNOSTICS: nothing ends the process or raises. A missing path or one that is not a
// regular file yields null silently; a file that exists but cannot be opened yields null
// after a line on standard error.
#pragma once

// A malloc'ed copy of the trimmed value of the first line `key = ...` inside section
// `section`, or null when there is none. The caller releases it with free.
char* ini_get_value(const char* path, const char* section, const char* key);

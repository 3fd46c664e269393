// The release of the tool, from the package changelog (CMakeLists.txt), kept in the binary
// so that `strings` on an installed copy tells which release it is. The tool never prints
// it: arguments are ignored, so there is no option that could ask.
[[gnu::used]] extern const char corvo_version[] = "mail-restore " CORVO_VERSION;

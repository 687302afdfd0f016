// Shared pieces of the vexal command-line program.
#ifndef VEXAL_TOOL_H
#define VEXAL_TOOL_H

#include <string>
#include <vector>

#include "vexal.h"

extern const char *HELP_BENCH;

int tool_error(const std::string &message);
double now_seconds();
// Opens a database directory; a read-only database is never written back.
bool open_database(const std::string &dir, bool create, vx_daded **db, std::string *error,
                   bool read_only = false);
bool close_database(vx_daded *db, std::string *error);
vx_collection *find_collection(vx_daded *db, const std::string &name);
int cmd_bench(const std::vector<std::string> &args);

#endif

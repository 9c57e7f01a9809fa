// Moving an installation: the records of DIR/meta.db copied into PostgreSQL.
#pragma once

#include <string>

namespace tessel::svc {

class SvcPgStore;

// Copies users, sessions, devices, drives, files, their properties and stream records, keeping
// their identifiers (content stays where it is, in DIR/files), and checks that every table has
// at least as many rows in the database as in meta.db. Rows already there are kept: run again,
// it copies only what is new. `report` gets one line a table.
bool svcmigrate__run(const std::string &dir, SvcPgStore *pg, std::string *report,
                     std::string *err);

}  // namespace tessel::svc

#ifndef RU_SERVER_CREDIT_H
#define RU_SERVER_CREDIT_H

namespace ru {

// `ru-server credit`, the administrator's way to add credit, on the server's own machine and
// straight into the database, with no network and no credential but the right to write it:
//   credit --db PATH USER_ID AMOUNT   one purchase of a student already in the database
//   credit --db PATH --file FILE      every row of FILE, in the roster's form, all or nothing
// (and --db-schema NAME with a PostgreSQL URI, as the server takes it).
// argv[0] is "credit". Writes one line; returns the exit status: 0 once committed, 1 when
// nothing was added, 2 for a bad command line.
int creditCommand(int argc, char** argv);

}  // namespace ru

#endif

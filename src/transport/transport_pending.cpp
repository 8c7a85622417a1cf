// Placeholder definitions until this subsystem is written; each is
// removed as the real one lands.
#include "transport/transport.h"
#include <err.h>

void reset_connection(connection& conn) { errx(1, "reset_connection: not written yet"); }
void send_command(connection& conn, const char* command) { errx(1, "send_command: not written yet"); }
void close_connection(connection& conn) { errx(1, "close_connection: not written yet"); }
void grow_response(connection& conn, const char* message) { errx(1, "grow_response: not written yet"); }
int check_response(uint32_t protocol, char*& start, char*& end) { errx(1, "check_response: not written yet"); }
void start_tls(connection& conn) { errx(1, "start_tls: not written yet"); }

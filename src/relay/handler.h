// handler.h - the client handler (handler.cpp).
#pragma once

// The body of a client's own thread: serves the client (a client *) until it leaves.
void handle_client(void *arg);

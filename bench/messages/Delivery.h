#pragma once

// Delivery of a 1 KiB text message from alice's send to its filing at bob
// (with no history and with 10 000 earlier messages on both sides),
// between two client processes, beside the request round trip (alice's probe
// to bob's echo plug-in and back) measured in the same run; then a flood of
// messages (WIVORA_BENCH_FLOOD, 10 000 by default) and the bytes bob's
// process wrote for it beside the size of the conversation's files. Prints
// the figures; false when the clients did not start or a message was lost.
bool measureDelivery();

#pragma once

// Delivery of a 1 KiB text message from alice's send to its filing at bob,
// between two client processes, beside the request round trip (alice's probe
// to bob's echo plug-in and back) measured in the same run. Prints the
// figures; false when the clients did not start or a message was lost.
bool measureDelivery();

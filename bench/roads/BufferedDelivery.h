#pragma once

#include "BenchFigures.h"

// Buffered 1 KiB records between two buffered-command stores over a real
// TcpConnection, and the plain round trip of a record of that size on the
// same link. The stores write their files under the process's data root.
struct BufferedDelivery
{
    BenchFigures::Percentiles delivery;
    BenchFigures::Percentiles roundTrip;
};

BufferedDelivery measureBufferedDelivery();

// lsmac: one "MAC Address: " line for every network adapter the platform's
// adapter query reports, in the platform's order.
#ifndef LSMAC_LISTING_LISTING_H_
#define LSMAC_LISTING_LISTING_H_

// Queries the platform and writes one address line per adapter to standard
// output. Returns null after a listing (an empty one when there is no
// adapter); otherwise why the adapters could not be listed, having written
// nothing.
const char* ListAdapters();

// Writes one address line for the first six bytes at `address`.
void PrintAddressLine(const unsigned char* address);

#endif  // LSMAC_LISTING_LISTING_H_

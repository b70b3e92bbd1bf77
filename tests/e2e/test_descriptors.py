import selectors

import velantis_protocol as vp
from server_harness import ServerTestCase, kernel_drops

UPDATES = 3000
IN_FLIGHT = 32
STALL_SECONDS = 10.0


class Descriptors(ServerTestCase):
    def test_relaying_thousands_of_updates_leaves_no_descriptor_behind(self):
        after_start_up = None if self.wine or self.container else self.server.fd_count()
        a, b = self.client(), self.client()
        self.connect(a, 3)
        self.connect(b, 9, registered_before=[a])
        ports = (vp.SERVER_PORT, a.port, b.port)
        drops_before = kernel_drops(ports)
        records_before = self.server.log_bytes().count(vp.RECEIVE_HEADER_LOG_LINE)

        sealer = vp.TailSealer(
            vp.Packet(client_id=3, message_type=vp.PLAYER_POSITION_UPDATE, text=b"run").encode())
        numbers = {a: [], b: []}
        selector = selectors.DefaultSelector()
        for c in (a, b):
            c.sock.setblocking(False)
            selector.register(c.sock, selectors.EVENT_READ, c)
        sent = tails = lost_relays = 0
        # B has the highest id, so its copy is the last one the server sends for an update; a
        # bounded number of updates in flight keeps the server's receive buffer from overflowing.
        while len(numbers[b]) + lost_relays < UPDATES:
            while sent < UPDATES and sent - len(numbers[b]) - lost_relays < IN_FLIGHT:
                a.send(sealer.seal_ids(0, tails))
                sent += 1
                tails += 1
            events = selector.select(timeout=STALL_SECONDS)
            if not events:
                # A busy machine drops datagrams on loopback too; only the kernel's counters rising
                # tell that from a relay the server never sent. The server's log holds a record of
                # every datagram it received: updates it never got are sent again.
                machine_dropped = kernel_drops(ports) - drops_before
                self.assertGreater(
                    machine_dropped, 0, f"relays stopped after {len(numbers[b])} of {UPDATES}, "
                    "and the kernel dropped no datagram")
                received = (self.server.log_bytes().count(vp.RECEIVE_HEADER_LOG_LINE)
                            - records_before)
                print(f"\n  the kernel dropped {machine_dropped} datagrams; the server received "
                      f"{received} of {sent} updates", end=" ")
                if received < sent:
                    sent = received
                else:
                    lost_relays = sent - len(numbers[b])
            for key, _ in events:
                client = key.data
                while True:
                    try:
                        data = client.sock.recv(2048)
                    except BlockingIOError:
                        break
                    numbers[client].append(vp.Packet.decode(data).message_number)
        selector.close()

        # Five numbers went to the two admissions; every relay took the next one.
        expected = list(range(6, 6 + 2 * sent))
        if lost_relays == 0:
            self.assertEqual(len(numbers[a]), UPDATES)
            self.assertEqual(sorted(numbers[a] + numbers[b]), expected)
        else:
            # Relays the machine dropped leave gaps, no more than it counted, and nothing else.
            seen = sorted(numbers[a] + numbers[b])
            self.assertEqual(len(set(seen)), len(seen), "a message number was used twice")
            self.assertTrue(set(seen) <= set(expected), "a message number out of sequence")
            self.assertLessEqual(len(expected) - len(seen), kernel_drops(ports) - drops_before)
        if after_start_up is not None:  # nor are Wine's handles or podman's descriptors
            self.assertEqual(self.server.settled_fd_count(after_start_up), after_start_up)

import selectors

import velantis_protocol as vp
from server_harness import ServerTestCase, udp_losses, udp_socket_drops

UPDATES = 3000
IN_FLIGHT = 32


class Descriptors(ServerTestCase):
    def test_relaying_thousands_of_updates_leaves_no_descriptor_behind(self):
        after_start_up = None if self.wine or self.container else self.server.fd_count()
        a, b = self.client(), self.client()
        self.connect(a, 3)
        self.connect(b, 9, registered_before=[a])

        sealer = vp.TailSealer(
            vp.Packet(client_id=3, message_type=vp.PLAYER_POSITION_UPDATE, text=b"run").encode())
        numbers = {a: [], b: []}
        selector = selectors.DefaultSelector()
        for c in (a, b):
            c.sock.setblocking(False)
            selector.register(c.sock, selectors.EVENT_READ, c)
        # What the kernel drops in full socket buffers on a busy machine is the machine's loss,
        # not the server's: the server's socket (where it is this namespace's) and the clients'.
        ports = [vp.SERVER_PORT, a.port, b.port]
        drops_before = [udp_socket_drops(port) or 0 for port in ports]
        losses_before = udp_losses()

        def machine_drops():
            return udp_losses() - losses_before + sum(
                (udp_socket_drops(port) or 0) - before for port, before in zip(ports, drops_before))

        sent = 0
        # B has the highest id, so its copy is the last one the server sends for an update; a
        # bounded number of updates in flight keeps the server's receive buffer from overflowing.
        while len(numbers[b]) < UPDATES:
            while sent < UPDATES and sent - len(numbers[b]) < IN_FLIGHT:
                a.send(sealer.seal_ids(0, sent))
                sent += 1
            events = selector.select(timeout=5.0)
            if not events and machine_drops():
                break
            self.assertTrue(events, f"relays stopped after {len(numbers[b])} of {UPDATES}, "
                                    f"none dropped by the machine")
            for key, _ in events:
                client = key.data
                while True:
                    try:
                        data = client.sock.recv(2048)
                    except BlockingIOError:
                        break
                    numbers[client].append(vp.Packet.decode(data).message_number)
        selector.close()

        dropped = machine_drops()
        if dropped:
            # An update the server's socket dropped costs both relays; a client's, one.
            missing = 2 * UPDATES - len(numbers[a]) - len(numbers[b])
            self.assertLessEqual(missing, 2 * dropped, f"{missing} relays missing, {dropped} "
                                 f"datagrams dropped by the machine")
        else:
            self.assertEqual(len(numbers[a]), UPDATES)
            # Five numbers went to the two admissions (eight with the proofs' announcement and
            # relays); every relay took the next one.
            first = 6 if self.trusted else 9
            self.assertEqual(sorted(numbers[a] + numbers[b]),
                             list(range(first, first + 2 * UPDATES)))
        if after_start_up is not None:  # nor are Wine's handles or podman's descriptors
            self.assertEqual(self.server.settled_fd_count(after_start_up), after_start_up)

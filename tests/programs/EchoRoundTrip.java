// A JVM doing loopback socket work of the kind an application server does:
// a server thread per connection, clients on stream sockets and on NIO
// channels with gathering writes and scattering reads. Every byte is checked;
// the summary on stdout depends only on the arguments.
//
//   java EchoRoundTrip [clients=4] [rounds=150]
import java.io.BufferedInputStream;
import java.io.BufferedOutputStream;
import java.io.DataInputStream;
import java.io.DataOutputStream;
import java.io.IOException;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.ByteBuffer;
import java.nio.channels.SocketChannel;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicInteger;

public final class EchoRoundTrip {
    static final AtomicInteger failures = new AtomicInteger();

    static int size(int client, int round) {
        long h = (client * 0x9E3779B97F4A7C15L) ^ (round * 0xC2B2AE3D27D4EB4FL);
        h ^= h >>> 29;
        h *= 0xBF58476D1CE4E5B9L;
        h ^= h >>> 32;
        switch ((int) Long.remainderUnsigned(h, 4)) {
            case 0: return 1;
            case 1: return 16384;
            default: return 1 + (int) Long.remainderUnsigned(h >>> 8, 16384);
        }
    }

    static byte pattern(int seed, int i) {
        return (byte) (seed * 31 + i * 7 + (i >>> 8));
    }

    // Echo server side: reads a length and the bytes, answers with each byte
    // plus one.
    static void serve(Socket s) {
        try (s) {
            s.setTcpNoDelay(true);
            DataInputStream in = new DataInputStream(new BufferedInputStream(s.getInputStream()));
            DataOutputStream out = new DataOutputStream(new BufferedOutputStream(s.getOutputStream(), 32768));
            byte[] buf = new byte[16384];
            for (;;) {
                int n = in.readInt();
                if (n == 0) return;
                in.readFully(buf, 0, n);
                for (int i = 0; i < n; i++) buf[i]++;
                out.writeInt(n);
                out.write(buf, 0, n);
                out.flush();
            }
        } catch (IOException e) {
            System.err.println("server: " + e);
            failures.incrementAndGet();
        }
    }

    static long streamClient(InetSocketAddress addr, int client, int rounds) throws IOException {
        long sum = 0;
        try (Socket s = new Socket()) {
            s.connect(addr, 10000);
            s.setSoTimeout(30000);
            s.setTcpNoDelay(true);
            DataInputStream in = new DataInputStream(new BufferedInputStream(s.getInputStream()));
            DataOutputStream out = new DataOutputStream(new BufferedOutputStream(s.getOutputStream(), 32768));
            byte[] req = new byte[16384];
            byte[] rep = new byte[16384];
            for (int r = 0; r < rounds; r++) {
                int n = size(client, r);
                for (int i = 0; i < n; i++) req[i] = pattern(client + r, i);
                out.writeInt(n);
                out.write(req, 0, n);
                out.flush();
                if (in.readInt() != n) throw new IOException("length mismatch in round " + r);
                in.readFully(rep, 0, n);
                for (int i = 0; i < n; i++) {
                    if (rep[i] != (byte) (req[i] + 1)) throw new IOException("byte mismatch in round " + r);
                    sum += rep[i] & 0xff;
                }
            }
            out.writeInt(0);
            out.flush();
        }
        return sum;
    }

    static void fill(SocketChannel ch, ByteBuffer[] bufs) throws IOException {
        long want = 0;
        for (ByteBuffer b : bufs) want += b.remaining();
        while (want > 0) {
            long got = ch.read(bufs);
            if (got < 0) throw new IOException("end of stream");
            want -= got;
        }
    }

    static long channelClient(InetSocketAddress addr, int client, int rounds) throws IOException {
        long sum = 0;
        try (SocketChannel ch = SocketChannel.open(addr)) {
            ch.socket().setTcpNoDelay(true);
            ByteBuffer head = ByteBuffer.allocate(4);
            for (int r = 0; r < rounds; r++) {
                int n = size(client, r);
                ByteBuffer body = ByteBuffer.allocate(n);
                for (int i = 0; i < n; i++) body.put(pattern(client + r, i));
                body.flip();
                head.clear();
                head.putInt(n).flip();
                ByteBuffer[] out = {head, body};
                while (head.hasRemaining() || body.hasRemaining()) ch.write(out);  // gathering write

                ByteBuffer rhead = ByteBuffer.allocate(4);
                ByteBuffer rbody = ByteBuffer.allocate(n);
                fill(ch, new ByteBuffer[] {rhead, rbody});  // scattering read
                rhead.flip();
                if (rhead.getInt() != n) throw new IOException("length mismatch in round " + r);
                rbody.flip();
                for (int i = 0; i < n; i++) {
                    byte b = rbody.get();
                    if (b != (byte) (pattern(client + r, i) + 1)) throw new IOException("byte mismatch in round " + r);
                    sum += b & 0xff;
                }
            }
            head.clear();
            head.putInt(0).flip();
            while (head.hasRemaining()) ch.write(head);
        }
        return sum;
    }

    public static void main(String[] args) throws Exception {
        int clients = args.length > 0 ? Integer.parseInt(args[0]) : 4;
        int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 150;
        InetAddress loopback = InetAddress.getByName("127.0.0.1");
        try (ServerSocket server = new ServerSocket(0, 16, loopback)) {
            InetSocketAddress addr = new InetSocketAddress(loopback, server.getLocalPort());
            Thread acceptor = new Thread(() -> {
                for (int i = 0; i < 2 * clients; i++) {
                    try {
                        Socket s = server.accept();
                        s.setSoTimeout(30000);
                        Thread t = new Thread(() -> serve(s));
                        t.setDaemon(true);
                        t.start();
                    } catch (IOException e) {
                        System.err.println("accept: " + e);
                        failures.incrementAndGet();
                        return;
                    }
                }
            });
            acceptor.setDaemon(true);
            acceptor.start();

            long[] sums = new long[2 * clients];
            List<Thread> threads = new ArrayList<>();
            for (int c = 0; c < 2 * clients; c++) {
                final int id = c;
                Thread t = new Thread(() -> {
                    try {
                        sums[id] = id % 2 == 0 ? streamClient(addr, id, rounds) : channelClient(addr, id, rounds);
                    } catch (IOException e) {
                        System.err.println("client " + id + ": " + e);
                        failures.incrementAndGet();
                    }
                });
                threads.add(t);
                t.start();
            }
            for (Thread t : threads) {
                t.join(60000);
                if (t.isAlive()) {
                    System.err.println("client did not finish in time");
                    failures.incrementAndGet();
                }
            }
            acceptor.join(10000);
            for (int c = 0; c < 2 * clients; c++)
                System.out.println("client " + c + (c % 2 == 0 ? " stream" : " channel") + " sum " + sums[c]);
        }
        System.out.println("failures " + failures.get());
        System.exit(failures.get() == 0 ? 0 : 1);
    }
}

// A JVM server that sizes what it reads with InputStream.available() and
// then reads exactly that many bytes with readFully, as many Java protocols
// do; each message is answered with "ok".
//
//   java AvailableRead <port> <messages>
// prints "ready <port>", then "available <n> <text>" per message.
import java.io.DataInputStream;
import java.io.IOException;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.StandardCharsets;

public final class AvailableRead {
    public static void main(String[] args) throws IOException, InterruptedException {
        final int port = Integer.parseInt(args[0]);
        final int messages = Integer.parseInt(args[1]);
        try (ServerSocket server = new ServerSocket()) {
            server.setReuseAddress(true);
            server.bind(new InetSocketAddress(InetAddress.getLoopbackAddress(), port));
            System.out.println("ready " + port);
            System.out.flush();
            try (Socket s = server.accept()) {
                DataInputStream in = new DataInputStream(s.getInputStream());
                OutputStream out = s.getOutputStream();
                for (int i = 0; i < messages; i++) {
                    int n = 0;
                    for (int waited = 0; n == 0 && waited < 10000; waited += 20) {
                        Thread.sleep(20);
                        n = in.available();
                    }
                    Thread.sleep(300);  // the whole message is there
                    n = in.available();
                    byte[] buf = new byte[n];
                    in.readFully(buf);
                    System.out.println("available " + n + " " + new String(buf, StandardCharsets.US_ASCII));
                    System.out.flush();
                    out.write("ok".getBytes(StandardCharsets.US_ASCII));
                    out.flush();
                }
            }
        }
    }
}

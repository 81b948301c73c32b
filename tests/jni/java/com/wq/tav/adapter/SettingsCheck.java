package com.wq.tav.adapter;

import static com.wq.tav.adapter.CheckOutput.*;

import java.io.FileInputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;

// Drives the settings and service-list natives of one case and prints what
// Java observed, one "key=value" line each; the C++ test checks these lines,
// the probe log and the queued messages. Any throwable that leaves a native
// is printed as "thrown=<native>".
public final class SettingsCheck {
    private static final GTUID g = new GTUID();

    // Log mode, level and path; args[2] is a second log directory.
    private static void log(String[] args) {
        print("mode0", call("getLOGMODE", g::getLOGMODE));
        String[] modes = {"off", "On", "yes", null, "ON"};
        for (int i = 0; i < modes.length; i++) {
            String m = modes[i];
            run("setLOGMODE", () -> g.setLOGMODE(m));
            print("mode" + (i + 1), call("getLOGMODE", g::getLOGMODE));
        }
        run("setLOGLEVEL", () -> g.setLOGLEVEL(1));
        print("level1", call("getLOGLEVEL", g::getLOGLEVEL));
        run("setLOGLEVEL", () -> g.setLOGLEVEL(2));
        print("level2", call("getLOGLEVEL", g::getLOGLEVEL));

        print("path0", call("getLOGPATH", g::getLOGPATH));
        run("setLOGPATH", () -> g.setLOGPATH(args[2]));
        print("path1", call("getLOGPATH", g::getLOGPATH));
        run("setLOGPATH", () -> g.setLOGPATH(null));
        print("path2", call("getLOGPATH", g::getLOGPATH));
        StringBuilder longPath = new StringBuilder("/");
        while (longPath.length() < 300) longPath.append("abcdefghij");
        run("setLOGPATH", () -> g.setLOGPATH(longPath.toString()));
        String cut = call("getLOGPATH", g::getLOGPATH);
        print("longLength", cut.length());
        print("longPrefix", longPath.toString().startsWith(cut));
        run("setLOGPATH", () -> g.setLOGPATH(args[2]));
        print("fullMode", call("getMODE", g::getMODE));
        print("keepMode", call("getKEEPMODE", g::getKEEPMODE));
    }

    private static void isService(String ip, int port) {
        print("is " + ip + ":" + port, call("isSERVICE", () -> g.isSERVICE(ip, port)));
    }

    // The service list as text, edited, and the class of addresses.
    private static void ipinfo() {
        print("text0", "[" + call("getIPINFO", g::getIPINFO) + "]");
        run("setIPINFO", () -> g.setIPINFO("127.0.0.11:*:SERVICE, 127.0.0.12:7000-7010:ORACLE"));
        print("text1", "[" + call("getIPINFO", g::getIPINFO) + "]");
        run("setIPINFO", () -> g.setIPINFO("127.0.0.13:7001:START, 127.0.0.13:7002:KEEP, "
                + "127.0.0.13:7003:SYBASE, 127.0.0.13:7004:DB2, 127.0.0.13:7005:ORACLE_MS, "
                + "127.0.0.13:7006:UDB, 127.0.0.13:7007:ALTIBASE, 127.0.0.13:7008:JRMI, "
                + "127.0.0.13:7009:HTTP, 127.0.0.14:*:HTTP, 127.0.0.13:7010:BOGUS"));
        print("text2", "[" + call("getIPINFO", g::getIPINFO) + "]");
        isService("127.0.0.11", 1);
        isService("127.0.0.11", 0);
        isService("127.0.0.11", 65535);
        isService("127.0.0.12", 7000);
        isService("127.0.0.12", 7005);
        isService("127.0.0.12", 7010);
        isService("127.0.0.12", 7011);
        isService("127.0.0.12", 6999);
        for (int port = 7001; port <= 7011; port++) isService("127.0.0.13", port);
        isService("127.0.0.14", 80);
        isService("127.0.0.15", 1);
        isService("127.0.0.16", 9000);
        isService("127.0.0.17", 9100);
        isService(null, 1);

        run("removeIPINFO", () -> g.removeIPINFO("127.0.0.12:7000-7010, 127.0.0.13:7009"));
        run("setIPINFO", () -> g.setIPINFO(null));
        run("removeIPINFO", () -> g.removeIPINFO(null));
        print("text3", "[" + call("getIPINFO", g::getIPINFO) + "]");
        isService("127.0.0.12", 7005);
        isService("127.0.0.13", 7009);
        run("setIPINFO", () -> g.setIPINFO("127.0.0.12:7000-7010:ORACLE"));
        isService("127.0.0.12", 7005);
        print("history", call("getIPHISTORY", g::getIPHISTORY));
    }

    private static void empty() {
        print("text0", "[" + call("getIPINFO", g::getIPINFO) + "]");
        run("removeIPINFO", () -> g.removeIPINFO("127.0.0.11:*"));
        print("text1", "[" + call("getIPINFO", g::getIPINFO) + "]");
    }

    // The descriptor number of a socket: the /proc/self/fd link of the inode
    // that /proc/net/tcp gives for its local port.
    private static int socketFd(Socket s) throws Exception {
        String port = String.format(":%04X", s.getLocalPort());
        String inode = null;
        for (String line : Files.readAllLines(Paths.get("/proc/net/tcp"))) {
            String[] f = line.trim().split("\\s+");
            // Sockets of other processes that closed keep their port a while
            // (time-wait, inode 0): only a live socket's inode counts.
            if (f.length > 9 && f[1].endsWith(port) && f[1].startsWith("0100007F") && !f[9].equals("0"))
                inode = f[9];
        }
        return fdWithLink("socket:[" + inode + "]");
    }

    private static int fdWithLink(String target) throws Exception {
        try (var fds = Files.list(Paths.get("/proc/self/fd"))) {
            for (Path p : (Iterable<Path>) fds::iterator) {
                try {
                    if (Files.readSymbolicLink(p).toString().equals(target))
                        return Integer.parseInt(p.getFileName().toString());
                } catch (Exception e) {
                    // the listing's own descriptor is gone by now
                }
            }
        }
        return -1;
    }

    // Class of descriptors the library tracks (the probe is preloaded), of
    // one it does not, and of numbers outside the table.
    private static void fd(String[] args) throws Exception {
        InetAddress lo = InetAddress.getByName("127.0.0.1");
        List<Socket> keep = new ArrayList<>();
        try (ServerSocket server = new ServerSocket(0, 50, lo);
                FileInputStream file = new FileInputStream(args[2])) {
            print("fileOpen", file.getChannel().isOpen());
            int port = server.getLocalPort();
            String[] kinds = {"SERVICE", "KEEP", "ORACLE", "PLAIN"};
            // One listener serves every kind: its port is listed with the
            // kind, connected to, and taken off the list again.
            for (String kind : kinds) {
                String entry = "127.0.0.1:" + port + ":" + kind;
                if (!kind.equals("PLAIN")) run("setIPINFO", () -> g.setIPINFO(entry));
                Socket s = new Socket();
                s.connect(new InetSocketAddress(lo, port), 5000);
                keep.add(s);
                keep.add(server.accept());
                int fd = socketFd(s);
                print("fd" + kind + "Found", fd >= 0);
                print("fd" + kind, call("isSERVICEFD", () -> g.isSERVICEFD(fd)));
                run("removeIPINFO", () -> g.removeIPINFO("127.0.0.1:" + port));
            }
            int fileFd = fdWithLink(Paths.get(args[2]).toRealPath().toString());
            print("fdFileFound", fileFd >= 0);
            print("fdFile", call("isSERVICEFD", () -> g.isSERVICEFD(fileFd)));
            for (int bad : new int[] {-1, 1 << 20, Integer.MAX_VALUE, Integer.MIN_VALUE})
                print("fdOut " + bad, call("isSERVICEFD", () -> g.isSERVICEFD(bad)));
        } finally {
            for (Socket s : keep) s.close();
        }
    }

    // Names and flags of the calling thread's messages.
    private static void thread() {
        print("pid", ProcessHandle.current().pid());
        run("setACTION", () -> g.setACTION(7));
        print("action", call("getACTION", g::getACTION));
        // An excluded thread neither changes nor shows its action.
        run("setBL", () -> g.setBL(0));
        run("setACTION", () -> g.setACTION(9));
        print("actionExcluded", call("getACTION", g::getACTION));
        run("setBL", () -> g.setBL(-1));
        print("actionRestored", call("getACTION", g::getACTION));

        // 1: a queue name (cut to 15) and a service name.
        run("procSTART", g::procSTART);
        run("setJMSNAME", () -> g.setJMSNAME("orders.queue.name.long"));
        run("setSERVICENAME", () -> g.setSERVICENAME("billing"));
        run("setJMSNAME", () -> g.setJMSNAME(null));
        run("setSERVICENAME", () -> g.setSERVICENAME(null));
        run("procEND", g::procEND);
        // 2: the queue name was used up; a leading blank restores the pid.
        run("procSTART", g::procSTART);
        run("setSERVICENAME", () -> g.setSERVICENAME(" billing"));
        run("procEND", g::procEND);
        // 3: a service name longer than the field is cut to 32.
        run("procSTART", g::procSTART);
        run("setSERVICENAME", () -> g.setSERVICENAME("0123456789abcdefghij0123456789ABCDEFGHIJ"));
        run("procEND", g::procEND);
    }

    // Writers and readers of the service list at once, and per-thread
    // actions that stay apart.
    private static void concurrent() throws InterruptedException {
        final int writers = 4, perWriter = 40;
        AtomicInteger wrongAction = new AtomicInteger();
        AtomicInteger readerCalls = new AtomicInteger();
        List<Thread> threads = new ArrayList<>();
        for (int w = 0; w < writers; w++) {
            final int id = w;
            threads.add(new Thread(() -> {
                for (int i = 0; i < perWriter; i++) {
                    String entry = "127.0.1." + id + ":" + (1000 + i) + ":SERVICE";
                    int action = id * 1000 + i;
                    run("setIPINFO", () -> g.setIPINFO(entry));
                    run("setACTION", () -> g.setACTION(action));
                    Integer a = call("getACTION", g::getACTION);
                    if (a == null || a != action) wrongAction.incrementAndGet();
                }
            }));
        }
        AtomicBoolean stop = new AtomicBoolean();
        for (int r = 0; r < 2; r++) {
            threads.add(new Thread(() -> {
                while (!stop.get()) {
                    call("getIPINFO", g::getIPINFO);
                    call("isSERVICE", () -> g.isSERVICE("127.0.1.0", 1000));
                    readerCalls.incrementAndGet();
                }
            }));
        }
        for (Thread t : threads) t.start();
        for (int i = 0; i < writers; i++) threads.get(i).join();
        stop.set(true);
        for (Thread t : threads) t.join();
        String text = call("getIPINFO", g::getIPINFO);
        print("entries", text.isEmpty() ? 0 : text.split(", ").length);
        int classified = 0;
        for (int w = 0; w < writers; w++)
            for (int i = 0; i < perWriter; i++)
                if (g.isSERVICE("127.0.1." + w, 1000 + i) == 1) classified++;
        print("classified", classified);
        print("wrongAction", wrongAction.get());
        print("readerCalled", readerCalls.get() > 0);
    }

    public static void main(String[] args) throws Exception {
        System.load(args[0]);
        switch (args[1]) {
            case "log": log(args); break;
            case "ipinfo": ipinfo(); break;
            case "empty": empty(); break;
            case "fd": fd(args); break;
            case "thread": thread(); break;
            case "concurrent": concurrent(); break;
            default: throw new IllegalArgumentException(args[1]);
        }
        print("done", true);
    }
}

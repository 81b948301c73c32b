package com.wq.tav.adapter;

import static com.wq.tav.adapter.CheckOutput.*;

import com.wq.tav.api.TAVApi;
import com.wq.tav.common.packet.dtc.Packet;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.List;

// The adapter's delivery to the master: its links (opened here as Java
// sockets), packets through putClass and wasMAKE, and the records of Java
// threads. Prints "key=value" lines; the C++ test checks them, the probe log
// and what the development master received.
public final class MasterCheck {
    private static final GTUID g = new GTUID();

    private static byte[] ascii(String s, int size) {
        byte[] b = new byte[size];
        byte[] t = s.getBytes(StandardCharsets.US_ASCII);
        System.arraycopy(t, 0, b, 0, Math.min(t.length, size));
        return b;
    }

    // A file the C++ test writes, waited for at most `seconds`.
    private static String await(Path p, int seconds) throws Exception {
        for (int i = 0; i < seconds * 20; i++) {
            if (Files.exists(p)) {
                String s = new String(Files.readAllBytes(p), StandardCharsets.US_ASCII).trim();
                if (!s.isEmpty()) return s;
            }
            Thread.sleep(50);
        }
        throw new IllegalStateException("no " + p);
    }

    // Opens a link the way the adapter does: the thread is marked, the
    // socket connects, the mark is lifted and the link declared up.
    private static Socket open(int type, String addr) throws Exception {
        int colon = addr.indexOf(':');
        g.setBL(type);
        Socket s = new Socket(addr.substring(0, colon), Integer.parseInt(addr.substring(colon + 1)));
        g.setBL(-1);
        g.connectMASTER(type);
        return s;
    }

    // One transaction of a worker thread: start, three transaction codes
    // (the URL one has no batch on the link), end, and a packet.
    private static Thread worker(String name, List<Integer> puts) {
        return new Thread(() -> {
            g.thrSTART();
            run("createGTUID", g::createGTUID);
            byte[] ip = {127, 0, 0, 1};
            run("setTRCODE", () -> g.setTRCODE(ascii("T2-" + name, 32), ip, (byte) 0, 0, (byte) 0));
            run("setTRCODE2", () -> g.setTRCODE2(ascii("T4-" + name, 32), ascii("cust", 32),
                    ascii("user", 32), ip, (byte) 0, 0, (byte) 0));
            run("setTRCODE6", () -> g.setTRCODE6(ascii("T6-" + name, 32), ascii("cust", 32),
                    ascii("user", 32), ip, (byte) 0, 0, (byte) 0, ascii("/url", 8)));
            run("procEND", g::procEND);
            Integer r = call("putClass", () -> new Packet("packet-" + name).putClass());
            synchronized (puts) {
                puts.add(r);
            }
        }, name);
    }

    private static List<Integer> work(String prefix, int threads) throws Exception {
        List<Integer> puts = new ArrayList<>();
        List<Thread> all = new ArrayList<>();
        for (int i = 0; i < threads; i++) all.add(worker(prefix + i, puts));
        for (Thread t : all) t.start();
        for (Thread t : all) t.join();
        return puts;
    }

    // Adapter mode end to end: links to a first master, records and packets;
    // the master goes away and putClass says so; new links to a second
    // master, and records flow again.
    private static void links(Path dir) throws Exception {
        g.thrSTART();
        g.initMID();
        String first = await(dir.resolve("master1"), 20);
        Socket gl = open(1, first);
        Socket wl = open(2, first);
        print("put1", work("a", 4));
        print("phase1", "sent");
        System.out.flush();

        String second = await(dir.resolve("master2"), 60);
        int r = 0;
        for (int i = 0; i < 100 && r != -1; i++) {
            r = new Packet("while-lost").putClass();
            if (r != -1) Thread.sleep(200);
        }
        print("lost", r);
        g.closeMASTER(1);
        g.closeMASTER(2);
        gl.close();
        wl.close();
        gl = open(1, second);
        wl = open(2, second);
        print("put2", work("b", 2));
        print("phase2", "sent");
        System.out.flush();
        await(dir.resolve("finish"), 60);
        gl.close();
        wl.close();
    }

    // Queue mode: the same natives put their messages on the queues.
    private static void queue() throws Exception {
        print("put", work("q", 3));
    }

    // putClass and wasMAKE with "qel.putclass" ON, before and after initMID,
    // and packets that misbehave.
    private static void immediate() {
        g.thrSTART();
        print("beforeInit", call("putClass", () -> new Packet("early").putClass()));
        print("countBeforeInit", g.getCOUNT());
        g.initMID();
        print("afterInit", call("putClass", () -> new Packet("good").putClass()));
        print("count", g.getCOUNT());
        print("size", g.getSIZE());

        Packet zero = new Packet("zero");
        zero.lengthOverride = 0;
        Packet huge = new Packet("huge");
        huge.lengthOverride = Integer.MAX_VALUE;
        Packet sizeThrows = new Packet("sizeThrows");
        sizeThrows.throwInLength = true;
        Packet getThrows = new Packet("getThrows");
        getThrows.throwInGetByte = true;
        Packet getFails = new Packet("getFails");
        getFails.getByteResult = 1;
        for (Packet p : new Packet[] {zero, huge, sizeThrows, getThrows, getFails})
            run("putClass", p::putClass);
        print("countAfterBad", g.getCOUNT());
        print("getByteCalls", zero.getByteCalls + huge.getByteCalls + sizeThrows.getByteCalls
                + getThrows.getByteCalls + getFails.getByteCalls);
        Packet fits = new Packet("capacity");
        run("putClass", fits::putClass);
        print("capacity", fits.capacitySeen);
        print("wasMAKE", call("wasMAKE", g::wasMAKE));
        print("countAfterMake", g.getCOUNT());
    }

    // "qel.putclass" OFF: packets wait on their threads until wasMAKE, which
    // serialises those of every thread, also threads without thrSTART.
    private static void deferred() throws Exception {
        g.thrSTART();
        g.initMID();
        List<Packet> packets = new ArrayList<>();
        List<Thread> all = new ArrayList<>();
        List<Integer> puts = new ArrayList<>();
        for (int i = 0; i < 4; i++) {
            Packet p = new Packet("deferred-" + i);
            packets.add(p);
            final boolean bind = i % 2 == 0;
            all.add(new Thread(() -> {
                if (bind) g.thrSTART();
                Integer r = call("putClass", p::putClass);
                synchronized (puts) {
                    puts.add(r);
                }
            }));
        }
        for (Thread t : all) t.start();
        for (Thread t : all) t.join();
        print("puts", puts);
        print("countBeforeMake", g.getCOUNT());
        print("wasMAKE", call("wasMAKE", g::wasMAKE));
        print("countAfterMake", g.getCOUNT());
        int calls = 0;
        for (Packet p : packets) calls += p.getByteCalls;
        print("getByteCalls", calls);
        print("wasMAKEAgain", call("wasMAKE", g::wasMAKE));
        print("countAfterAgain", g.getCOUNT());
    }

    // The API class and the link natives with odd arguments.
    private static void api() {
        TAVApi a = new TAVApi();
        print("get", call("tavJNIGet", () -> a.tavJNIGet("key", 7)));
        print("put", call("tavJNIPut", () -> a.tavJNIPut(null, 8)));
        print("end", call("tavJNIEnd", a::tavJNIEnd));
        run("connectMASTER", () -> g.connectMASTER(9));
        run("closeMASTER", () -> g.closeMASTER(-3));
        print("afterClose", call("putClass", () -> new Packet("x").putClass()));
        run("connectMASTER", () -> g.connectMASTER(1));
        print("afterConnect", call("putClass", () -> new Packet("x").putClass()));
        run("closeMASTER", () -> g.closeMASTER(1));
        run("closeMASTER", () -> g.closeMASTER(1));
        print("afterTwoCloses", call("putClass", () -> new Packet("x").putClass()));
    }

    public static void main(String[] args) throws Exception {
        System.load(args[0]);
        switch (args[1]) {
            case "links": links(Paths.get(args[2])); break;
            case "queue": queue(); break;
            case "immediate": immediate(); break;
            case "deferred": deferred(); break;
            case "api": api(); break;
            default: throw new IllegalArgumentException(args[1]);
        }
        print("done", true);
    }
}

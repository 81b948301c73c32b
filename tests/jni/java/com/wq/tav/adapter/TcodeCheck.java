package com.wq.tav.adapter;

import static com.wq.tav.adapter.CheckOutput.*;

import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;

// Drives the transaction-code and server-call natives for one case and prints
// what the calling thread's GTUID window holds afterwards, one "key=value"
// line each. Any throwable that leaves a native is printed as "thrown=...".
public final class TcodeCheck {
    private static final GTUID g = new GTUID();

    // The code field of the window up to its first zero byte.
    private static String code(ByteBuffer w) {
        StringBuilder s = new StringBuilder();
        for (int i = 50; i < 82 && w.get(i) != 0; i++) s.append((char) w.get(i));
        return s.toString();
    }

    private static byte[] ascii(String s) {
        return s.getBytes(StandardCharsets.US_ASCII);
    }

    private static void window(String tag, ByteBuffer w) {
        print(tag + ".code", code(w));
        print(tag + ".routing", w.get(20));
        print(tag + ".ip", hex(w, 22, 26));
        print(tag + ".mask", hex(w, 42, 46));
        print(tag + ".trblock", w.get(84));
    }

    private static ByteBuffer bind() {
        ByteBuffer w = g.thrSTART();
        GTUID.window.set(w);
        return w;
    }

    // One call of each kind; the second and third keep the address (a first
    // byte of 0, a short array).
    private static void codes() {
        ByteBuffer w = bind();
        run("createGTUID", g::createGTUID);
        byte[] ip = {10, 1, 2, 3};
        run("setTRCODE", () -> g.setTRCODE(
                ascii("CODE-0123456789-ABCDEFGHIJKLMNOPQRSTUVWXYZ"), ip, (byte) 5, 0x01020304,
                (byte) 1));
        window("t2", w);
        run("setTRCODE2", () -> g.setTRCODE2(ascii("SHORT"), ascii("customer-42"),
                ascii("user-7-with-a-name-longer-than-thirty-two"), new byte[] {0, 9, 9, 9},
                (byte) 6, -1, (byte) 0));
        window("t4", w);
        StringBuilder url = new StringBuilder("/shop");
        while (url.length() < 200) url.append("/x").append(url.length());
        run("setTRCODE6", () -> g.setTRCODE6(ascii("URLCODE"), ascii("c6"), ascii("u6"),
                new byte[] {9, 9}, (byte) 7, 7, (byte) 1, ascii(url.toString())));
        window("t6", w);
        print("url", url.substring(0, 128));
    }

    // Null arrays change nothing (a null URL only drops the URL).
    private static void nulls() {
        ByteBuffer w = bind();
        run("createGTUID", g::createGTUID);
        byte[] ip = {10, 1, 2, 3};
        run("setTRCODE", () -> g.setTRCODE(ascii("FIRST"), ip, (byte) 1, 1, (byte) 0));
        run("setTRCODE", () -> g.setTRCODE(null, ip, (byte) 2, 2, (byte) 1));
        run("setTRCODE2", () -> g.setTRCODE2(ascii("X"), null, ascii("u"), ip, (byte) 2, 2,
                (byte) 1));
        run("setTRCODE6", () -> g.setTRCODE6(ascii("Y"), ascii("c"), null, ip, (byte) 2, 2,
                (byte) 1, ascii("/u")));
        window("refused", w);
        run("setTRCODE", () -> g.setTRCODE(ascii("NOIP"), null, (byte) 3, 3, (byte) 0));
        run("setTRCODE6", () -> g.setTRCODE6(ascii("NOURL"), ascii("c"), ascii("u"), ip,
                (byte) 3, 3, (byte) 0, null));
        window("taken", w);
        run("sendSVR", () -> g.sendSVR(null, "07", "svc", "10.0.0.5"));
        run("recvSVR", () -> g.recvSVR("T", "07", "svc", null));
        run("setGTUID2", () -> g.setGTUID2(10, null, 1));
    }

    // Calls to other servers, by name and by address.
    private static void servers() {
        bind();
        run("createGTUID", g::createGTUID);
        run("sendSVR", () -> g.sendSVR("T", "07", "billing", "10.0.0.5"));
        run("recvSVR", () -> g.recvSVR("T", "07", "billing", "10.0.0.5"));
        run("setGTUID2", () -> g.setGTUID2(10, "10.0.0.9", 7001));
        run("setGTUID2", () -> g.setGTUID2(11, "10.0.0.9", 7001));
    }

    // A database call by address: out to an adapter entry of the service
    // list, and back.
    private static void database() {
        bind();
        run("createGTUID", g::createGTUID);
        run("setGTUID2", () -> g.setGTUID2(12, "127.0.0.17", 9100));
        run("setGTUID2", () -> g.setGTUID2(13, "127.0.0.17", 9100));
    }

    // A thread that never called thrSTART, and natives before any record.
    private static void unbound() throws InterruptedException {
        Thread t = new Thread(() -> {
            run("setTRCODE", () -> g.setTRCODE(ascii("C"), new byte[4], (byte) 0, 0, (byte) 0));
            run("setTRCODE6", () -> g.setTRCODE6(null, null, null, null, (byte) 0, 0, (byte) 0,
                    null));
            run("sendSVR", () -> g.sendSVR("T", "07", "s", "1.2.3.4"));
            run("recvSVR", () -> g.recvSVR("T", "07", "s", "1.2.3.4"));
            run("setGTUID2", () -> g.setGTUID2(12, "1.2.3.4", 1521));
        });
        t.start();
        t.join();
    }

    public static void main(String[] args) throws Exception {
        System.load(args[0]);
        switch (args[1]) {
            case "codes": codes(); break;
            case "nulls": nulls(); break;
            case "servers": servers(); break;
            case "database": database(); break;
            case "unbound": unbound(); break;
            default: throw new IllegalArgumentException(args[1]);
        }
        print("done", true);
    }
}

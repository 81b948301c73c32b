package com.wq.tav.adapter;

import static com.wq.tav.adapter.CheckOutput.*;

import java.io.IOException;
import java.net.Socket;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;

// Drives the natives of one case and prints what Java observed, one
// "key=value" line each; the C++ test checks these lines and the probe log.
// Any throwable that leaves a native is printed as "thrown=<native>".
public final class GTUIDCheck {
    private static final GTUID g = new GTUID();

    private static ByteBuffer bind() {
        ByteBuffer w = g.thrSTART();
        GTUID.window.set(w);
        return w;
    }

    // The window aliases the thread's record in both directions.
    private static void window() {
        ByteBuffer w = bind();
        print("direct", w.isDirect());
        print("capacity", w.capacity());
        run("createGTUID", g::createGTUID);
        print("marker", hex(w, 0, 4));
        print("flag", w.get(4));
        print("puts", GTUID.puts.get());
        print("flagAtPut", GTUID.flagAtPut);
        run("printGTUID", () -> g.printGTUID(w));
        // Java ends the transaction through the window: procEND finds none.
        w.put(4, (byte) 0);
        run("procEND", g::procEND);
        // Java writes a transaction of its own: procEND ends that one.
        w.put(4, (byte) 1);
        for (int i = 5; i < 16; i++) w.put(i, (byte) 0x42);
        run("procEND", g::procEND);
        print("flagAfterEnd", w.get(4));
        print("digitsAfterEnd", hex(w, 5, 16));
        run("keepGTUID", () -> g.keepGTUID((byte) 'K'));
        print("remIdle", w.get(46));
        run("createGTUID", g::createGTUID);
        run("keepGTUID", () -> g.keepGTUID((byte) 'K'));
        print("remActive", w.get(46));
    }

    // An excluded thread's natives leave its transaction alone until -1.
    private static void exclude() {
        ByteBuffer w = bind();
        run("setBL", () -> g.setBL(0));
        run("createGTUID", g::createGTUID);
        print("flagExcluded", w.get(4));
        run("setBL", () -> g.setBL(-1));
        run("createGTUID", g::createGTUID);
        print("flagIncluded", w.get(4));
        print("puts", GTUID.puts.get());
    }

    // The deferred end is sent only for a transaction with a code or a hop.
    private static void sendend() {
        ByteBuffer w = bind();
        run("createGTUID", g::createGTUID);
        run("keepENDSEND", g::keepENDSEND);
        run("sendEND", g::sendEND);
        print("flagWithoutCode", w.get(4));
        byte[] code = "TX01".getBytes(StandardCharsets.US_ASCII);
        for (int i = 0; i < code.length; i++) w.put(50 + i, code[i]);
        run("keepENDSEND", g::keepENDSEND);
        run("sendEND", g::sendEND);
        print("flagWithCode", w.get(4));
    }

    // A callback that throws leaves no exception behind; so does initMID
    // without the Packet class.
    private static void exception() {
        bind();
        GTUID.throwOnPut = true;
        run("createGTUID", g::createGTUID);
        run("procSTART", g::procSTART);
        run("initMID", g::initMID);
        print("puts", GTUID.puts.get());
        print("continued", true);
    }

    // The GTUID that Java writes into the window in sGTUID is the one that
    // goes out with the write on a service connection that called it. Then
    // a callback that itself writes on a service connection: that write is
    // not called back again, and carries the transaction out.
    private static void framed(int port) throws Exception {
        ByteBuffer w = bind();
        try (Socket first = new Socket("127.0.0.1", port);
             Socket outer = new Socket("127.0.0.1", port);
             Socket inner = new Socket("127.0.0.1", port)) {
            run("createGTUID", g::createGTUID);
            GTUID.onGet = () -> {
                for (int i = 5; i < 16; i++) w.put(i, (byte) (10 + i));
            };
            first.getOutputStream().write("first".getBytes(StandardCharsets.US_ASCII));

            run("createGTUID", g::createGTUID);
            GTUID.onGet = () -> {
                for (int i = 5; i < 16; i++) w.put(i, (byte) (30 + i));
                try {
                    inner.getOutputStream().write("inner".getBytes(StandardCharsets.US_ASCII));
                } catch (IOException e) {
                    print("innerFailed", e);
                }
            };
            outer.getOutputStream().write("outer".getBytes(StandardCharsets.US_ASCII));
            GTUID.onGet = null;
        }
        print("gets", GTUID.gets.get());
    }

    // A callback that reaches the natives again gets no nested callback.
    private static void recurse() {
        bind();
        GTUID.recurseOnPut = true;
        run("createGTUID", g::createGTUID);
        print("puts", GTUID.puts.get());
    }

    // Natives on a thread that never called thrSTART: no callback, no harm.
    private static void unbound() throws InterruptedException {
        bind();
        Thread t = new Thread(() -> {
            run("createGTUID", g::createGTUID);
            run("procSTART", g::procSTART);
            for (int type : new int[] {1, 2, 7, 8, 9, 3}) run("setGTUID", () -> g.setGTUID(type));
            run("keepGTUID", () -> g.keepGTUID((byte) 'K'));
            run("keepENDSEND", g::keepENDSEND);
            run("sendEND", g::sendEND);
            run("procEND", g::procEND);
            run("clearGTUID", g::clearGTUID);
            run("setCREATEGTUID", () -> g.setCREATEGTUID(0));
            run("printGTUID", () -> g.printGTUID(null));
        });
        t.start();
        t.join();
        print("puts", GTUID.puts.get());
        print("continued", true);
    }

    // Null and short arguments are refused; a full array is taken.
    private static void nulls() {
        bind();
        run("setSYSTEM", () -> g.setSYSTEM(null));
        run("setSYSTEM", () -> g.setSYSTEM(new byte[65]));
        run("printGTUID", () -> g.printGTUID(null));
        run("printGTUID", () -> g.printGTUID(ByteBuffer.allocate(96)));
        run("createGTUID", g::createGTUID);  // logged under the old names
        byte[] info = new byte[66];
        byte[] dname = "dom-adapter".getBytes(StandardCharsets.US_ASCII);
        byte[] pname = "proc-adapter".getBytes(StandardCharsets.US_ASCII);
        System.arraycopy(dname, 0, info, 0, dname.length);
        System.arraycopy(pname, 0, info, 32, pname.length);
        info[64] = 'S';
        info[65] = 'D';
        run("setSYSTEM", () -> g.setSYSTEM(info));
        run("procEND", g::procEND);  // logged under the new process name
        print("continued", true);
    }

    // A transaction ended twice sends one end message.
    private static void procend() {
        bind();
        run("procSTART", g::procSTART);
        run("procEND", g::procEND);
        run("procEND", g::procEND);
        print("puts", GTUID.puts.get());
    }

    public static void main(String[] args) throws Exception {
        System.load(args[0]);
        switch (args[1]) {
            case "window": window(); break;
            case "exception": exception(); break;
            case "unbound": unbound(); break;
            case "nulls": nulls(); break;
            case "procend": procend(); break;
            case "exclude": exclude(); break;
            case "recurse": recurse(); break;
            case "sendend": sendend(); break;
            case "framed": framed(Integer.parseInt(args[2])); break;
            default: throw new IllegalArgumentException(args[1]);
        }
        print("done", true);
    }
}

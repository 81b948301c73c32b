package com.wq.tav.common;

import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.io.OutputStreamWriter;
import java.io.Writer;
import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;

/**
 * Runs one scenario against libsysinfo in this JVM: prints a PASS or FAIL line
 * per check and exits with 1 when any check failed. Every child process is
 * killed before exit, also on failure.
 */
public final class SystemInfoCheck {
    private static final double PROC_CPU_ERR = -0.001231;
    private static final double PROC_MEM_ERR = -0.001232;
    private static final double SYS_CPU_ERR = -0.001237;
    private static final int NO_SUCH_PID = 2147483000;

    private static int failures = 0;
    private static final List<Process> children = new ArrayList<>();

    private static void check(boolean ok, String what) {
        System.out.println((ok ? "PASS " : "FAIL ") + what);
        if (!ok) failures++;
    }

    private static Process spawn(String... cmd) throws Exception {
        Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
        children.add(p);
        return p;
    }

    private static String run(String... cmd) throws Exception {
        Process p = spawn(cmd);
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8).trim();
        p.waitFor(10, TimeUnit.SECONDS);
        return out;
    }

    private static long meminfo(String key) throws Exception {
        for (String line : Files.readAllLines(Path.of("/proc/meminfo"))) {
            if (line.startsWith(key + ":")) return Long.parseLong(line.replaceAll("[^0-9]", ""));
        }
        throw new IllegalStateException(key);
    }

    private static long statusKb(long pid, String key) throws Exception {
        for (String line : Files.readAllLines(Path.of("/proc/" + pid + "/status"))) {
            if (line.startsWith(key + ":")) return Long.parseLong(line.replaceAll("[^0-9]", ""));
        }
        throw new IllegalStateException(key);
    }

    private static long uid(long pid) throws Exception {
        for (String line : Files.readAllLines(Path.of("/proc/" + pid + "/status"))) {
            if (line.startsWith("Uid:")) return Long.parseLong(line.split("\\s+")[1]);
        }
        throw new IllegalStateException("Uid");
    }

    private static String field(String overview, int offset, int width) {
        return overview.substring(offset, offset + width);
    }

    /** Fixed figures, host totals and the checks that need no child. */
    static void host() throws Exception {
        check(SystemInfo.getCurrPID() == ProcessHandle.current().pid(), "getCurrPID is this JVM");
        check(SystemInfo.getSysProcCount() == 1024, "getSysProcCount 1024");
        check(SystemInfo.getSysThreadCount() == 0, "getSysThreadCount 0");
        check(SystemInfo.checkProcessInfoList() == 0, "checkProcessInfoList 0");
        check(SystemInfo.getProcCpuMemStructSize() == 24, "getProcCpuMemStructSize 24");

        int nproc = Integer.parseInt(run("nproc"));
        int nprocAll = Integer.parseInt(run("nproc", "--all"));
        int count = SystemInfo.getSysCpuCount();
        check(count >= nproc && count <= nprocAll, "getSysCpuCount " + count + " within nproc " + nproc + ".." + nprocAll);

        double total = SystemInfo.getSysMemTot();
        long memTotal = meminfo("MemTotal");
        check(Math.abs(total - memTotal) <= memTotal * 0.001 + 4, "getSysMemTot " + total + " ~ MemTotal " + memTotal);
        double used = SystemInfo.getSysMem();
        long memUsed = memTotal - meminfo("MemFree");
        check(Math.abs(used - memUsed) <= memTotal * 0.02, "getSysMem " + used + " ~ MemTotal-MemFree " + memUsed);

        long self = ProcessHandle.current().pid();
        double mine = SystemInfo.getMallocMem();
        long rss = statusKb(self, "VmRSS");
        check(Math.abs(mine - rss) <= Math.max(16384, rss * 0.1), "getMallocMem " + mine + " ~ VmRSS " + rss);
        double procMem = SystemInfo.getProcMem((int) self);
        check(Math.abs(procMem - rss) <= Math.max(16384, rss * 0.1), "getProcMem(self) " + procMem + " ~ VmRSS " + rss);
    }

    /** Pids that are no process, signals, buffers and arrays that are unusable. */
    static void edges() throws Exception {
        for (int pid : new int[] {0, -1, -12345, NO_SUCH_PID}) {
            check(SystemInfo.getProcCpu(pid) == PROC_CPU_ERR, "getProcCpu(" + pid + ") sentinel");
            check(SystemInfo.getProcCpu2(pid) == PROC_CPU_ERR, "getProcCpu2(" + pid + ") sentinel");
            check(SystemInfo.getProcMem(pid) == PROC_MEM_ERR, "getProcMem(" + pid + ") sentinel");
            check(SystemInfo.isAliveProc(pid) == 0, "isAliveProc(" + pid + ") 0");
            check(SystemInfo.sendSignal(pid, 0) == -1, "sendSignal(" + pid + ", 0) refused");
        }
        int self = (int) ProcessHandle.current().pid();
        check(SystemInfo.isAliveProc(self) == 1, "isAliveProc(self) 1");
        check(SystemInfo.sendSignal(self, 0) == 0, "sendSignal(self, 0) 0");
        check(SystemInfo.sendSignal(self, 9999) == -1, "sendSignal with an invalid signal -1");

        // A process of another user: as root, a sleep run as nobody; otherwise
        // pid 1, which then belongs to root. Either way the signal would be
        // refused to an unprivileged caller, yet the process is alive.
        int other = 1;
        Process nobody = null;
        if ("root".equals(System.getProperty("user.name")) && Files.isExecutable(Path.of("/usr/bin/setpriv"))) {
            nobody = spawn("/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sleep", "30");
            Thread.sleep(200);
            other = (int) nobody.pid();
            check(nobody.isAlive() && uid(other) == 65534, "helper runs as another user");
        }
        check(SystemInfo.isAliveProc(other) == 1, "isAliveProc(another user's " + other + ") 1");

        Process victim = spawn("sleep", "30");
        check(SystemInfo.sendSignal((int) victim.pid(), 15) == 0, "sendSignal(child, TERM) 0");
        check(victim.waitFor(5, TimeUnit.SECONDS) && victim.exitValue() == 143, "child ended by TERM");
        check(SystemInfo.isAliveProc((int) victim.pid()) == 0, "isAliveProc(reaped child) 0");

        // Process record: 24 zero bytes, never beyond a short buffer.
        ByteBuffer rec = ByteBuffer.allocateDirect(24);
        for (int i = 0; i < 24; i++) rec.put(i, (byte) 0x55);
        SystemInfo.getProcCpuMem("java", rec);
        boolean zero = true;
        for (int i = 0; i < 24; i++) zero &= rec.get(i) == 0;
        check(zero, "getProcCpuMem writes 24 zero bytes");
        for (int i = 0; i < 24; i++) rec.put(i, (byte) 0x55);
        SystemInfo.getProcCpuMem(null, rec);
        zero = true;
        for (int i = 0; i < 24; i++) zero &= rec.get(i) == 0;
        check(zero, "getProcCpuMem(null name) writes 24 zero bytes");

        ByteBuffer big = ByteBuffer.allocateDirect(32);
        for (int i = 0; i < 32; i++) big.put(i, (byte) 0x55);
        ByteBuffer shortBuf = big.slice(0, 8);
        SystemInfo.getProcCpuMem("java", shortBuf);
        boolean untouched = true;
        for (int i = 0; i < 32; i++) untouched &= big.get(i) == 0x55;
        check(untouched, "getProcCpuMem leaves an 8-byte buffer alone");
        SystemInfo.getProcCpuMem("java", ByteBuffer.allocate(24));
        SystemInfo.getProcCpuMem("java", null);
        check(true, "getProcCpuMem with heap and null buffers returns");

        check(SystemInfo.getArrayProcessInfo(null) == null, "getArrayProcessInfo(null) null");
        check(SystemInfo.getArrayProcessInfo(new int[0]).length == 0, "getArrayProcessInfo(empty) empty");
        double[][] rows = SystemInfo.getArrayProcessInfo(new int[] {0, -7, NO_SUCH_PID});
        check(rows != null && rows.length == 3, "three rows");
        check(Arrays.equals(rows[0], new double[] {0, 0, 0, 0}), "row of pid 0 " + Arrays.toString(rows[0]));
        check(Arrays.equals(rows[1], new double[] {0, 0, 0, 0}), "row of pid -7 " + Arrays.toString(rows[1]));
        check(Arrays.equals(rows[2], new double[] {NO_SUCH_PID, 0, 0, 0}), "row of a missing pid " + Arrays.toString(rows[2]));

        // More pids than a fixed table of 2048 would hold: one row each.
        int[] many = new int[3000];
        Arrays.fill(many, -1);
        many[2999] = NO_SUCH_PID;
        many[2500] = NO_SUCH_PID - 1;
        double[][] manyRows = SystemInfo.getArrayProcessInfo(many);
        check(manyRows != null && manyRows.length == 3000, "3000 rows for 3000 pids");
        check(manyRows[2500][0] == NO_SUCH_PID - 1 && manyRows[2999][0] == NO_SUCH_PID && manyRows[0][0] == 0,
              "rows beyond 2048 carry their pids");
    }

    /** A busy child shows about one processor, a sleeping one about none. */
    static void cpu() throws Exception {
        int n = SystemInfo.getSysCpuCount();
        Process busy = spawn("sh", "-c", "while :; do :; done");
        Process idle = spawn("sleep", "30");
        Thread.sleep(300);
        double share = SystemInfo.getProcCpu((int) busy.pid());
        double oneCore = 100.0 / n;
        check(share >= 0.6 * oneCore && share <= 1.15 * oneCore, "getProcCpu(busy) " + share + " ~ " + oneCore);
        double share2 = SystemInfo.getProcCpu2((int) busy.pid());
        check(share2 >= 0.6 * oneCore && share2 <= 1.15 * oneCore, "getProcCpu2(busy) " + share2 + " ~ " + oneCore);
        double still = SystemInfo.getProcCpu((int) idle.pid());
        check(still >= 0 && still < 2, "getProcCpu(idle) " + still + " ~ 0");

        double[][] rows = SystemInfo.getArrayProcessInfo(new int[] {(int) busy.pid(), (int) idle.pid()});
        check(rows[0][0] == busy.pid() && rows[0][1] >= 60 && rows[0][1] <= 115,
              "busy row " + Arrays.toString(rows[0]) + " ~ 100 per cent of one processor");
        check(rows[1][0] == idle.pid() && rows[1][1] < 2, "idle row " + Arrays.toString(rows[1]));
        double total = SystemInfo.getSysMemTot();
        for (double[] r : rows) {
            check(r[3] > 0 && Math.abs(r[2] - r[3] / total * 100) < 1e-9, "row memory figures agree " + Arrays.toString(r));
        }

        // This JVM's own use, in the host-percentage unit of getProcCpu, with
        // the busy child gone so that it does not compete with the spinner.
        busy.destroyForcibly();
        busy.waitFor(5, TimeUnit.SECONDS);
        AtomicBoolean stop = new AtomicBoolean(false);
        Thread t = new Thread(() -> {
            while (!stop.get()) Thread.onSpinWait();
        });
        t.start();
        Thread.sleep(200);
        double mine = SystemInfo.getMyProcCpu();
        stop.set(true);
        t.join();
        check(mine >= 0.5 * oneCore && mine <= 100, "getMyProcCpu with a spinning thread " + mine + " ~ " + oneCore + " or more");
    }

    /** Resident size follows a child that touches 200 MiB. */
    static void mem(String hog) throws Exception {
        Process p = spawn(hog);
        BufferedReader in = new BufferedReader(new InputStreamReader(p.getInputStream(), StandardCharsets.UTF_8));
        Writer out = new OutputStreamWriter(p.getOutputStream(), StandardCharsets.UTF_8);
        check("idle".equals(in.readLine()), "helper started");
        int pid = (int) p.pid();
        double before = SystemInfo.getProcMem(pid);
        out.write("grow\n");
        out.flush();
        check("grown".equals(in.readLine()), "helper grew");
        double after = SystemInfo.getProcMem(pid);
        double grown = after - before;
        check(grown >= 195 * 1024 && grown <= 210 * 1024, "resident growth " + grown + " KiB ~ 204800");
        long rss = statusKb(pid, "VmRSS");
        check(Math.abs(after - rss) <= 1024, "getProcMem " + after + " ~ VmRSS " + rss);
        double[][] rows = SystemInfo.getArrayProcessInfo(new int[] {pid});
        check(Math.abs(rows[0][3] - after) <= 1024, "row resident KiB " + rows[0][3]);
        out.close();
    }

    /** Host overview text; with argument "unresolved" the host name must not resolve. */
    static void overview(String mode) throws Exception {
        String o = SystemInfo.getSysOverview();
        check(o != null && o.length() == 152, "overview is 152 characters");
        String host = Files.readString(Path.of("/proc/sys/kernel/hostname")).trim();
        String hostField = host.length() > 32 ? host.substring(0, 32) : String.format("%-32s", host);
        check(field(o, 0, 32).equals(hostField), "host field '" + field(o, 0, 32) + "'");
        String addr = field(o, 32, 20).trim();
        if ("unresolved".equals(mode)) {
            check(field(o, 32, 20).isBlank(), "address field blank for an unresolvable name");
        } else {
            String expect = "";
            String getent = run("getent", "ahostsv4", host);
            if (!getent.isEmpty()) expect = getent.split("\\s+")[0];
            check(addr.matches("\\d+\\.\\d+\\.\\d+\\.\\d+") && getent.contains(addr + " ") || addr.isEmpty() && expect.isEmpty(),
                  "address field '" + addr + "' among the host's IPv4 addresses");
        }
        String[][] uname = {{"52", "/proc/sys/kernel/ostype"}, {"72", "/proc/sys/kernel/version"},
                            {"112", "/proc/sys/kernel/osrelease"}};
        for (String[] u : uname) {
            String v = Files.readString(Path.of(u[1])).trim();
            String expect = v.length() > 20 ? v.substring(0, 20) : String.format("%-20s", v);
            check(field(o, Integer.parseInt(u[0]), 20).equals(expect), "field at " + u[0] + " '" + field(o, Integer.parseInt(u[0]), 20) + "'");
        }
        check(field(o, 92, 20).trim().equals(run("uname", "-m")), "machine field");
        check(field(o, 132, 20).equals("Unlimited Users     "), "users field");

        // Concurrent callers never see each other's text.
        ExecutorService pool = Executors.newFixedThreadPool(8);
        List<Future<Boolean>> results = new ArrayList<>();
        for (int t = 0; t < 8; t++) {
            Callable<Boolean> c = () -> {
                for (int i = 0; i < 300; i++) {
                    if (!o.equals(SystemInfo.getSysOverview())) return false;
                }
                return true;
            };
            results.add(pool.submit(c));
        }
        boolean same = true;
        for (Future<Boolean> f : results) same &= f.get(60, TimeUnit.SECONDS);
        pool.shutdown();
        check(same, "8 threads x 300 calls see the same overview");
    }

    /** Host CPU figure; "real", "sentinel" or an expected value. */
    static void sysCpu(String expect, String pidFile) throws Exception {
        long start = System.nanoTime();
        double v = SystemInfo.getSysCpu();
        double secs = (System.nanoTime() - start) / 1e9;
        check(secs < 12, "getSysCpu returned after " + secs + " s");
        if ("real".equals(expect)) {
            check(v >= 0 && v <= 100, "getSysCpu " + v + " within 0..100");
        } else if ("sentinel".equals(expect)) {
            check(v == SYS_CPU_ERR, "getSysCpu " + v + " is the sentinel");
        } else {
            check(Math.abs(v - Double.parseDouble(expect)) < 1e-9, "getSysCpu " + v + " = " + expect);
        }
        if (pidFile != null && Files.exists(Path.of(pidFile))) {
            long pid = Long.parseLong(Files.readString(Path.of(pidFile)).trim());
            boolean gone = false;
            for (int i = 0; i < 50 && !gone; i++) {
                gone = ProcessHandle.of(pid).map(h -> !h.isAlive()).orElse(true);
                if (!gone) Thread.sleep(100);
            }
            check(gone, "the hanging tool (" + pid + ") was killed");
        }
    }

    public static void main(String[] args) throws Exception {
        Runtime.getRuntime().addShutdownHook(new Thread(() -> children.forEach(Process::destroyForcibly)));
        try {
            switch (args[0]) {
                case "host": host(); break;
                case "edges": edges(); break;
                case "cpu": cpu(); break;
                case "mem": mem(args[1]); break;
                case "overview": overview(args.length > 1 ? args[1] : ""); break;
                case "syscpu": sysCpu(args[1], args.length > 2 ? args[2] : null); break;
                default: check(false, "unknown scenario " + args[0]);
            }
        } catch (Throwable t) {
            t.printStackTrace(System.out);
            check(false, "scenario threw " + t);
        } finally {
            for (Process p : children) {
                p.destroyForcibly();
                p.waitFor(5, TimeUnit.SECONDS);
            }
        }
        System.out.println(failures == 0 ? "ALL PASS" : failures + " FAILED");
        System.exit(failures == 0 ? 0 : 1);
    }
}

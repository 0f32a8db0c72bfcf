// What every end-to-end session shares: the real node on free 127.0.0.1
// ports in a scratch directory, checks that count failures, time limits,
// and one raw JSON-RPC call.
//
// A session module calls `runSession(name, session)` as its last act; the
// process exits 0 when every check passed, 1 otherwise.

import { spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import net from 'node:net';
import path from 'node:path';

export const CHAIN_ID = 202677;
export const HOST = '127.0.0.1';
// The node's first answer, when it starts from an empty data directory.
const STARTUP_TIMEOUT_MS = 15_000;
// One client call or one transfer with its receipt.
export const STEP_TIMEOUT_MS = 20_000;
// SIGTERM to exit: the wait loop polls every 0.5 s.
const STOP_TIMEOUT_MS = 3_000;
// The whole run, whatever hangs.
const RUN_TIMEOUT_MS = 240_000;

export const RUZ = 10n ** 18n;  // wei per RUZ as a wallet sees it

const failures = [];
export function check(ok, what, detail = '') {
  if (ok) {
    console.log(`  ok    ${what}`);
  } else {
    console.log(`  FAIL  ${what}${detail ? ': ' + detail : ''}`);
    failures.push(what);
  }
  return ok;
}
export function checkEqual(actual, expected, what) {
  return check(actual === expected, what, `got ${String(actual)}, expected ${String(expected)}`);
}

export function withTimeout(promise, ms, what) {
  let timer;
  const expiry = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`${what}: no answer within ${ms} ms`)), ms);
  });
  return Promise.race([promise, expiry]).finally(() => clearTimeout(timer));
}
export const step = (promise, what) => withTimeout(promise, STEP_TIMEOUT_MS, what);

// Ports that were free a moment ago, held together so they differ. They
// lie below the system's ephemeral range (32768 and up on Linux): a port the
// system chose would be free again once probed, and the system could give
// it to another test's outgoing connection before the node binds it.
const FIRST_NODE_PORT = 20000;
const NODE_PORT_SPAN = 12000;
let nextPort = Math.floor(Math.random() * NODE_PORT_SPAN);

async function freePorts(count) {
  const servers = [];
  try {
    for (let tries = 0; servers.length < count && tries < NODE_PORT_SPAN; ++tries) {
      const port = FIRST_NODE_PORT + (nextPort++ % NODE_PORT_SPAN);
      const server = net.createServer();
      const bound = await new Promise((resolve) => {
        server.once('error', () => resolve(false));
        server.listen(port, HOST, () => resolve(true));
      });
      if (bound) servers.push(server);
    }
    if (servers.length < count) throw new Error('no free port on 127.0.0.1');
    return servers.map((s) => s.address().port);
  } finally {
    await Promise.all(servers.map((s) => new Promise((resolve) => s.close(resolve))));
  }
}

// One POST to the node by hand: the body as given (a string or raw bytes),
// the answer's status and its raw bytes.
export function rawCall(port, body, timeoutMs = STEP_TIMEOUT_MS) {
  return new Promise((resolve, reject) => {
    const request = http.request(
      { host: HOST, port, method: 'POST', path: '/', agent: false,
        headers: { 'Content-Type': 'application/json' }, timeout: timeoutMs },
      (response) => {
        const chunks = [];
        response.on('data', (chunk) => { chunks.push(chunk); });
        response.on('end', () => {
          const bytes = Buffer.concat(chunks);
          resolve({ status: response.statusCode, bytes, text: bytes.toString('utf8') });
        });
        response.on('error', reject);
      });
    request.on('timeout', () => request.destroy(new Error('timeout')));
    request.on('error', reject);
    request.end(body);
  });
}

async function waitForNode(port, node) {
  const deadline = Date.now() + STARTUP_TIMEOUT_MS;
  const body = JSON.stringify({ jsonrpc: '2.0', id: 1, method: 'eth_chainId', params: [] });
  while (Date.now() < deadline) {
    if (node.exitCode !== null || node.signalCode !== null) {
      throw new Error(`the node exited during start-up (status ${node.exitCode}, signal ${node.signalCode})`);
    }
    try {
      const answer = await rawCall(port, body, 1_000);
      if (answer.status === 200) return;
    } catch {
      // not listening yet
    }
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
  throw new Error(`the node did not answer on port ${port} within ${STARTUP_TIMEOUT_MS} ms`);
}

function waitForExit(child, ms) {
  if (child.exitCode !== null || child.signalCode !== null) {
    return Promise.resolve({ code: child.exitCode, signal: child.signalCode });
  }
  return new Promise((resolve) => {
    const timer = setTimeout(() => resolve(null), ms);
    child.once('exit', (code, signal) => {
      clearTimeout(timer);
      resolve({ code, signal });
    });
  });
}

// Starts `rozeve node` (argv: <rozeve binary> <work dir>) in a fresh
// directory, runs `session({ url, port })` against it, stops it with SIGTERM
// and exits with the verdict.
export async function runSession(name, session) {
  let running = null;
  const watchdog = setTimeout(() => {
    console.log(`FAIL  the run took more than ${RUN_TIMEOUT_MS} ms`);
    if (running && running.exitCode === null && running.signalCode === null) running.kill('SIGKILL');
    process.exit(1);
  }, RUN_TIMEOUT_MS);
  watchdog.unref();

  const main = async () => {
    const [binary, workDir] = process.argv.slice(2);
    if (!binary || !workDir) {
      console.log(`usage: node ${name}.mjs <rozeve binary> <work dir>`);
      return 1;
    }
    fs.mkdirSync(workDir, { recursive: true });
    const home = fs.mkdtempSync(path.join(path.resolve(workDir), `${name}-`));
    const [rpcPort, p2pPort] = await freePorts(2);
    const node = spawn(path.resolve(binary),
      ['node', '--bind', HOST, '--rpc-port', String(rpcPort), '--p2p-port', String(p2pPort), '--daemon'],
      { cwd: home, stdio: ['ignore', 'pipe', 'pipe'] });
    running = node;
    let consoleText = '';
    node.stdout.on('data', (chunk) => { consoleText += chunk; });
    node.stderr.on('data', (chunk) => { consoleText += chunk; });
    const spawned = new Promise((resolve, reject) => {
      node.once('spawn', resolve);
      node.once('error', reject);
    });

    let ok = true;
    try {
      await withTimeout(spawned, STARTUP_TIMEOUT_MS, 'spawn');
      await waitForNode(rpcPort, node);
      await session({ url: `http://${HOST}:${rpcPort}`, port: rpcPort });
    } catch (error) {
      console.log(`  FAIL  ${error.stack ?? error}`);
      ok = false;
    }

    if (node.exitCode === null && node.signalCode === null && node.pid !== undefined) {
      node.kill('SIGTERM');
      const exit = await waitForExit(node, STOP_TIMEOUT_MS);
      if (exit === null) {
        node.kill('SIGKILL');
        await waitForExit(node, STOP_TIMEOUT_MS);
        check(false, `the node stops within ${STOP_TIMEOUT_MS} ms of SIGTERM`);
      } else {
        check(exit.code === 0 && exit.signal === null, 'the node exits with status 0 on SIGTERM',
          `status ${exit.code}, signal ${exit.signal}`);
      }
    } else {
      check(false, 'the node was still running at the end',
        `status ${node.exitCode}, signal ${node.signalCode}`);
    }

    if (!ok || failures.length > 0) {
      console.log(`\n${failures.length} check(s) failed${ok ? '' : ' and the session stopped early'}:`);
      for (const f of failures) console.log(`  - ${f}`);
      console.log(`\nnode console (last 4000 characters):\n${consoleText.slice(-4000)}`);
      console.log(`node working directory kept: ${home}`);
      return 1;
    }
    fs.rmSync(home, { recursive: true, force: true });
    console.log('\nall checks passed');
    return 0;
  };

  const status = await main().catch((error) => {
    console.log(`FAIL  ${error.stack ?? error}`);
    return 1;
  });
  // Clients may still hold timers (polling, keep-alive): they end here.
  process.exit(status);
}

// Loads a client library, or exits 77 (skipped) when it is not installed.
export async function importClient(specifier) {
  try {
    return await import(specifier);
  } catch (error) {
    console.log(`${specifier} cannot be loaded (${error.message}): skipped`);
    process.exit(77);
  }
}

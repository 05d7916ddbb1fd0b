// A runtime's use of every function of the addon, as a TypeScript user writes
// it; compiled with `tsc --noEmit` by the test command, never run.
import * as addon from "nuvra-profile-startup";
import type { ReasonCode, TerminalReason } from "nuvra-profile-startup";

export async function entryRuntime(nativeTarget: string, request: Buffer): Promise<void> {
  addon.timingCheckpoint("preload_first_line");
  const startup: addon.StartupResult = addon.initialize();
  const acknowledged: true = addon.finishStartup();

  const budget = addon.prepareBrokerBudget("capture");
  const remaining = (): number => budget.budget_ms;
  const event: string = addon.newDiagnosticEvent("capture");
  const work: addon.WorkId = await addon.beginWork(remaining, event, "client", "capture",
                                                   budget.token);
  const runtime = await addon.checkWorkBinding(work, nativeTarget);
  const identity = await addon.observeBroker(work, "identity", nativeTarget, startup.home,
                                             process.pid);
  const sessionId: number = identity.windows_session_id;
  const residency = await addon.observeBroker(work, "residency", nativeTarget, runtime.home,
                                              process.pid);
  const scope: "machine" | "harness_session" = residency.broker_scope;

  const op = addon.newTerminalOperation("capture", "-");
  await addon.prepareTerminal(op, work, "attempt-1", "request-1", "local_preparation");
  const response: Buffer = await addon.exchange(work, nativeTarget, budget.endpoint_json, request,
                                                "hello", "request-0");
  const phased: Buffer = await addon.exchangePhase(work, nativeTarget, budget.endpoint_json,
                                                   request, "capture", "request-1");
  const closed: "closed" = addon.closeClientDispatch(work);
  const outcome = addon.exchangeOutcome(work);
  const sends: number | null = outcome.memory_send_count;
  await addon.appendDiagnostic(work, `{"response_bytes":${response.length + phased.length}}`);
  await addon.endWork(work);
  const reason: TerminalReason = outcome.terminal_observed ? "none" : "broker_outcome_unknown";
  await addon.commitTerminal(op, reason === "none", "saved", reason, "terminal");
  const allClosed: boolean = addon.closeTerminalOperation(op);

  const ingress = addon.appendIngressDiagnostic(event, "framing", "started", "none");
  if (ingress !== true) await ingress;
  addon.closeDiagnosticEvent(event);
  void [acknowledged, sessionId, scope, closed, sends, allClosed];
}

export async function residentRuntime(endpointRecord: string): Promise<void> {
  addon.initialize();
  const host: addon.ChildStarted = await addon.spawnResidentHost();
  const observation = await addon.observeResident();
  const pid: number = observation.pid;
  const status = addon.residentStatus();
  const left: number = status === null ? 0 : status.remaining_ms;
  const checkpoint = addon.residentCheckpoint("host_ready");
  if (checkpoint !== false) await checkpoint;
  const worker = await addon.prepareAccountWorker();
  await addon.readyAccountWorker();
  const work = await addon.beginWork(undefined, "-", "server", "recall");
  await addon.adoptAccountWorker(work);
  await addon.releaseAccountWorker(work);
  await addon.publishResident(endpointRecord);
  const bound: "bound" = addon.bindServerWork(work, "v2 recall 1");
  const observed: "observed" = addon.serverPhase(work, "terminal", "none");
  const server = addon.serverOutcome(work);
  const logging: string = server.logging_status;
  const ms: number = addon.ingressRemaining("123456789");
  await addon.endWork(work);
  addon.endResident();
  void [host, pid, left, worker, bound, observed, logging, ms];
}

export async function children(work: addon.WorkId, broker: string): Promise<number | undefined> {
  const child = await addon.spawnAsync(work, broker, ["child", "echo"], { NUVRA_HOME: "C:\\h" });
  const whole: boolean = addon.write(child.id, Buffer.from("line\n"));
  addon.end(child.id);
  const polled = addon.poll(child.id);
  const out: Buffer | false = polled.stdout;
  addon.kill(child.id);
  await addon.dispose(child.id);
  void [whole, out];
  return polled.exit_code;
}

// What a caller compares a caught error's message with.
export function isPoisoned(error: Error): boolean {
  const code: ReasonCode = "profile_poisoned";
  return error.message === code;
}
